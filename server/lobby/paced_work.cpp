#include "server/lobby/paced_work.h"

#include <algorithm>
#include <utility>

#include "server/lobby/form1.h"
#include "server/lobby/messages.h"
#include "server/lobby/request_handler.h"

namespace lobby {

namespace {

std::string SnapshotText(SnapshotPacer::Kind kind, const Registry& table)
{
    return kind == SnapshotPacer::kPlayerList ? messages::PlayerList(table) : messages::Ranking(table);
}

} // namespace

void PacedWork::PublishPlayerList(std::optional<Registry::RowId> requester)
{
    Publish(SnapshotPacer::kPlayerList, requester);
}

void PacedWork::PublishRanking(std::optional<Registry::RowId> requester)
{
    Publish(SnapshotPacer::kRanking, requester);
}

void PacedWork::Timer2Timer()
{
    timer2_.reset(); // armed again below for whatever still waits
    timer2DueMs_.reset();
    MessageSender::Scope scope(rooms_.sender, true);
    try {
        const std::int64_t now = rooms_.clock.Start();
        rooms_.door.Guard().StartRound(now);
        for (const SnapshotPacer::Kind kind : {SnapshotPacer::kPlayerList, SnapshotPacer::kRanking}) {
            if (pacer_.TakeDue(kind, now, form_.Cad.Online().size()))
                SendSnapshot(kind);
        }
        rooms_.requests.ServeWaitingRegistrations(now);
    } catch (...) {
        Arm();
        throw;
    }
    Arm();
}

void PacedWork::Arm()
{
    if (!loop_)
        return;
    std::optional<std::int64_t> due = pacer_.NextDueMs();
    const std::int64_t now = rooms_.clock.Now();
    if (!rooms_.door.Waiting().Empty())
        due = std::min(due.value_or(INT64_MAX), rooms_.door.Guard().LobbyRegistrationDueMs(now));
    if (!due) {
        timer2_.reset();
        timer2DueMs_.reset();
        return;
    }
    if (timer2_ && timer2DueMs_ && *timer2DueMs_ <= *due)
        return;
    const auto waitMs = static_cast<int>(std::clamp<std::int64_t>(*due - now, 1, TForm1::kTimerIntervalMs));
    timer2_ = loop_->StartTimer(waitMs, [this] { form_.RunHandler([this] { Timer2Timer(); }); });
    timer2DueMs_ = now + waitMs;
}

// A snapshot broadcast now is the lobby's work, charged to no request; one merged waits for
// Timer2. The requester's copy is its answer, in its place among the others (the "slc"
// sequence), and is charged to it. Its address is remembered with the text it got, so the
// merged broadcast does not send it the same bytes again.
void PacedWork::Publish(SnapshotPacer::Kind kind, std::optional<Registry::RowId> requester)
{
    const Registry& table = form_.Cad;
    const bool wasPending = pacer_.Pending(kind);
    if (pacer_.TakeNow(kind, rooms_.clock.Now(), table.Online().size())) {
        SendSnapshot(kind);
        return;
    }
    if (!wasPending)
        Arm();
    if (!requester || !table.IsOnlineId(*requester))
        return;
    MessageSender::Scope scope(rooms_.sender, false);
    if (kind == SnapshotPacer::kRanking)
        rooms_.saves.HoldScores();
    const std::string_view address = table.CellOf(*requester, Registry::kAddress);
    form_.SendMessageTo(address, snapshotCopies_[kind].Sent(SnapshotText(kind, table), address));
}

// The snapshot of kind as the table holds it now, to every online player; when it is the
// one requesters were sent while it was merged, not to them again.
void PacedWork::SendSnapshot(SnapshotPacer::Kind kind)
{
    MessageSender& sender = rooms_.sender;
    MessageSender::Scope scope(sender, false);
    const bool outer = std::exchange(sender.sendingSnapshot, true);
    struct Restore {
        bool& flag;
        bool was;
        ~Restore() { flag = was; }
    } restore{sender.sendingSnapshot, outer};
    if (kind == SnapshotPacer::kRanking)
        rooms_.saves.HoldScores();
    const std::string text = SnapshotText(kind, form_.Cad);
    BroadcastExcept(text, snapshotCopies_[kind].TakeSentOf(text));
}

void PacedWork::BroadcastExcept(std::string_view message, const std::unordered_set<std::string>& except)
{
    MessageSender::Scope scope(rooms_.sender, false);
    MessageSender::Message outgoing(message);
    Registry& table = form_.Cad;
    table.ForEachOnline([&](Registry::RowId id) {
        const std::string_view address = table.CellOf(id, Registry::kAddress);
        if (except.empty() || !except.contains(std::string(address)))
            rooms_.sender.Deliver(address, outgoing);
    });
}

} // namespace lobby
