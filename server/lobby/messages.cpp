#include "server/lobby/messages.h"

#include <algorithm>
#include <string>
#include <utility>

#include "net/udp_sock_error.h"
#include "platform/exception.h"
#include "platform/stream.h"
#include "server/lobby/form1.h"

namespace lobby {

bool messages::AppendListEntry(std::string& list, std::string_view entry)
{
    if (list.size() + entry.size() + kListEnd.size() > kMaxDatagram)
        return false;
    list += entry;
    return true;
}

// A message longer than a datagram is cut to it (only a relayed chat or private line can be),
// and the log shows what was sent.
TForm1::OutgoingMessage::OutgoingMessage(std::string_view text) : bytes(text.substr(0, messages::kMaxDatagram)) {}

// Logs the message, then sends it as one datagram to port RemotePort of address. An empty
// address is a row that never gets anything; a datagram the flood guard holds back (a copy,
// or over a silent address's budget) is neither logged nor sent.
void TForm1::SendMessageTo(std::string_view address, std::string_view message)
{
    OutputScope scope(*this, false);
    OutgoingMessage outgoing(message);
    Deliver(address, outgoing);
}

// The line is logged before anything can fail, so a message the endpoint refuses (a host
// that cannot be looked up, say) shows in the log as it always did; the datagram itself
// waits in the outbox with the rest of the handler's. Views into registry cells are copied
// here, before anything can dispatch events that change them.
void TForm1::Deliver(std::string_view address, OutgoingMessage& message)
{
    if (address.empty())
        return;
    if (!UDP1)
        throw Exception("No datagram endpoint to send with");
    // A message that waited for a save was let through when it was made; it is not asked about
    // again (it would count as a copy of itself).
    if (!message.admitted && !Guard.AdmitSend(address, message.bytes))
        return;
    if (!sendingSnapshot_)
        ++requestDatagrams_;
    if (holding_ && *holding_ > savedVersion_) {
        if (!message.held)
            message.held = std::make_shared<const std::string>(message.bytes);
        held_.push_back(HeldMessage{*holding_, std::string(address), message.held});
        return;
    }
    LogFile.AppendSent(address, message.bytes);
    std::optional<std::uint32_t> resolved;
    if (!message.bytes.empty())
        resolved = UDP1->ResolveWithoutLookup(address);
    if (!resolved) {
        SendLookingUp(std::string(address), message.bytes);
        return;
    }
    outbox_.Add(*resolved, address, message.bytes, message.slot);
    if (outbox_.Full())
        FlushOutput();
}

// The lookup dispatches events, so everything gathered goes out first: the log and the wire
// keep the order they would have had with every message sent on its own.
void TForm1::SendLookingUp(std::string destination, std::string_view bytes)
{
    TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    FlushOutput();
    UDP1->SetRemoteHost(std::move(destination));
    UDP1->SendDatagram(stream);
    ++counters_.sent;
}

void TForm1::FlushOutput()
{
    LogFile.Flush();
    if (outbox_.Empty())
        return;
    const std::size_t count = outbox_.Size();
    UDP1->SendBatch(outbox_.Datagrams());
    outbox_.Clear();
    counters_.sent += count;
}

void TForm1::FlushOutputReporting() noexcept
{
    try {
        FlushOutput();
    } catch (const std::exception& error) {
        outbox_.Clear();
        try {
            ShowError(error.what());
        } catch (...) {
        }
    }
}

// Sends to every online row's stored address, in row order. A row that goes offline while
// the broadcast runs (a send to a host name dispatches other events while it waits for the
// lookup) is skipped from then on.
void TForm1::Broadcast(std::string_view message)
{
    BroadcastExcept(message, {});
}

void TForm1::BroadcastExcept(std::string_view message, const std::unordered_set<std::string>& except)
{
    OutputScope scope(*this, false);
    OutgoingMessage outgoing(message);
    Cad.ForEachOnline([&](Registry::RowId id) {
        const std::string_view address = Cad.CellOf(id, Registry::kAddress);
        if (except.empty() || !except.contains(std::string(address)))
            Deliver(address, outgoing);
    });
}

void TForm1::SendPlayerList()
{
    OutputScope scope(*this, false);
    Broadcast(PlayerListText());
}

std::string TForm1::PlayerListText() const
{
    std::string list(messages::kPlayerList);
    std::string entry;
    for (const Registry::RowId id : Cad.Online()) {
        entry.assign(Cad.CellOf(id, Registry::kFlag));
        entry += Cad.CellOf(id, Registry::kNick);
        entry += '|';
        if (!messages::AppendListEntry(list, entry))
            break;
    }
    list += messages::kListEnd;
    return list;
}

void TForm1::SendRanking()
{
    OutputScope scope(*this, false);
    HoldScores();
    Broadcast(RankingText());
}

// The first nine player rows, online or not: the top nine once scores have been sorted.
std::string TForm1::RankingText() const
{
    std::string list(messages::kRanking);
    std::string entry;
    for (int row = 1; row < 10 && row < Cad.RowCount(); ++row) {
        entry.assign(Cad.Cell(Registry::kNick, row));
        entry += " - ";
        entry += Cad.Cell(Registry::kScore, row);
        entry += '|';
        if (!messages::AppendListEntry(list, entry))
            break;
    }
    list += messages::kListEnd;
    return list;
}

void TForm1::PublishPlayerList(std::optional<Registry::RowId> requester)
{
    Publish(SnapshotPacer::kPlayerList, requester);
}

void TForm1::PublishRanking(std::optional<Registry::RowId> requester)
{
    Publish(SnapshotPacer::kRanking, requester);
}

// A snapshot broadcast now is the lobby's work, charged to no request; one merged waits for
// Timer2. The requester's copy is its answer, in its place among the others (the "slc"
// sequence), and is charged to it. Its address is remembered with the text it got, so the
// merged broadcast does not send it the same bytes again.
void TForm1::Publish(SnapshotPacer::Kind kind, std::optional<Registry::RowId> requester)
{
    const bool wasPending = Pacer.Pending(kind);
    if (Pacer.TakeNow(kind, handlerNowMs_, Cad.Online().size())) {
        SendSnapshot(kind);
        return;
    }
    if (!wasPending)
        ArmTimer2();
    if (!requester || !Cad.IsOnlineId(*requester))
        return;
    OutputScope scope(*this, false);
    if (kind == SnapshotPacer::kRanking)
        HoldScores();
    std::string text = kind == SnapshotPacer::kPlayerList ? PlayerListText() : RankingText();
    const std::string_view address = Cad.CellOf(*requester, Registry::kAddress);
    SnapshotCopies& copies = snapshotCopies_[kind];
    if (copies.text != text) {
        copies.text = std::move(text);
        copies.addresses.clear();
        copies.last.clear();
    }
    if (copies.last != address) {
        copies.last = address;
        copies.addresses.insert(copies.last);
    }
    SendMessageTo(address, copies.text);
}

// The snapshot of kind as the table holds it now, to every online player; when it is the
// one requesters were sent while it was merged, not to them again.
void TForm1::SendSnapshot(SnapshotPacer::Kind kind)
{
    OutputScope scope(*this, false);
    const bool outer = std::exchange(sendingSnapshot_, true);
    struct Restore {
        bool& flag;
        bool was;
        ~Restore() { flag = was; }
    } restore{sendingSnapshot_, outer};
    if (kind == SnapshotPacer::kRanking)
        HoldScores();
    const std::string text = kind == SnapshotPacer::kPlayerList ? PlayerListText() : RankingText();
    const SnapshotCopies copies = std::exchange(snapshotCopies_[kind], {});
    BroadcastExcept(text, copies.text == text ? copies.addresses : std::unordered_set<std::string>{});
}

} // namespace lobby
