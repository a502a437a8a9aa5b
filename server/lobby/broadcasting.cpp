#include <string>
#include <utility>

#include "server/lobby/form1.h"
#include "server/lobby/messages.h"

namespace lobby {

// Logs the message, then sends it as one datagram to port RemotePort of address. An empty
// address is a row that never gets anything; a datagram the flood guard holds back (a copy,
// or over a silent address's budget) is neither logged nor sent.
void TForm1::SendMessageTo(std::string_view address, std::string_view message)
{
    OutputScope scope(sender_, false);
    OutgoingMessage outgoing(message);
    sender_.Deliver(address, outgoing);
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
    OutputScope scope(sender_, false);
    OutgoingMessage outgoing(message);
    Cad.ForEachOnline([&](Registry::RowId id) {
        const std::string_view address = Cad.CellOf(id, Registry::kAddress);
        if (except.empty() || !except.contains(std::string(address)))
            sender_.Deliver(address, outgoing);
    });
}

void TForm1::SendPlayerList()
{
    OutputScope scope(sender_, false);
    Broadcast(messages::PlayerList(Cad));
}

void TForm1::SendRanking()
{
    OutputScope scope(sender_, false);
    HoldScores();
    Broadcast(messages::Ranking(Cad));
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
    OutputScope scope(sender_, false);
    if (kind == SnapshotPacer::kRanking)
        HoldScores();
    std::string text = kind == SnapshotPacer::kPlayerList ? messages::PlayerList(Cad) : messages::Ranking(Cad);
    const std::string_view address = Cad.CellOf(*requester, Registry::kAddress);
    SendMessageTo(address, snapshotCopies_[kind].Sent(std::move(text), address));
}

// The snapshot of kind as the table holds it now, to every online player; when it is the
// one requesters were sent while it was merged, not to them again.
void TForm1::SendSnapshot(SnapshotPacer::Kind kind)
{
    OutputScope scope(sender_, false);
    const bool outer = std::exchange(sender_.sendingSnapshot, true);
    struct Restore {
        bool& flag;
        bool was;
        ~Restore() { flag = was; }
    } restore{sender_.sendingSnapshot, outer};
    if (kind == SnapshotPacer::kRanking)
        HoldScores();
    const std::string text = kind == SnapshotPacer::kPlayerList ? messages::PlayerList(Cad) : messages::Ranking(Cad);
    BroadcastExcept(text, snapshotCopies_[kind].TakeSentOf(text));
}

} // namespace lobby
