#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/event_loop.h"
#include "server/lobby/admission.h"
#include "server/lobby/handler_clock.h"
#include "server/lobby/message_sender.h"
#include "server/lobby/save_scheduler.h"
#include "server/lobby/snapshot_copies.h"
#include "server/lobby/snapshot_pacer.h"
#include "server/registry/registry.h"

namespace lobby {

class TForm1;
class RequestHandler;

// What the lobby does later rather than at once, so that its work is bounded by time and not
// by the rate of requests: the player list and the ranking merged while they change faster
// than SnapshotPacer lets them out, and the new nicks over the lobby's allowance. Timer2 runs
// it, armed only while something waits.
class PacedWork {
public:
    struct Rooms {
        MessageSender& sender;
        SaveScheduler& saves;
        Admission& door;
        RequestHandler& requests;
        HandlerClock& clock;
    };

    // loop: where Timer2 runs; none in unit tests, which call Timer2Timer after stepping the clock.
    PacedWork(TForm1& form, Rooms rooms, EventLoop* loop, std::int64_t snapshotIntervalMs)
        : form_(form), rooms_(rooms), loop_(loop), pacer_(snapshotIntervalMs)
    {
    }

    // The player list or the ranking after a change, paced: broadcast now, or merged into the
    // broadcast at the end of the interval. requester is the row whose request made the
    // change: while merged, it is sent the snapshot at once, in its place among its own
    // answers, and is not sent the same snapshot again at the end.
    void PublishPlayerList(std::optional<Registry::RowId> requester = std::nullopt);
    void PublishRanking(std::optional<Registry::RowId> requester = std::nullopt);

    // The paced work that has fallen due: the merged snapshots, and the new nicks that waited.
    void Timer2Timer();
    // Timer2 armed for the first of the paced work still waiting; dropped when none waits.
    void Arm();

private:
    void Publish(SnapshotPacer::Kind kind, std::optional<Registry::RowId> requester);
    void SendSnapshot(SnapshotPacer::Kind kind);
    // Broadcast of message to every online row but those whose address is in except.
    void BroadcastExcept(std::string_view message, const std::unordered_set<std::string>& except);

    TForm1& form_;
    Rooms rooms_;
    EventLoop* loop_;
    SnapshotPacer pacer_;
    SnapshotCopies snapshotCopies_[SnapshotPacer::kKinds];
    std::unique_ptr<EventLoop::Registration> timer2_;
    std::optional<std::int64_t> timer2DueMs_;
};

} // namespace lobby
