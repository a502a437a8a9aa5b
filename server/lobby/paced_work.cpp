#include <algorithm>
#include <utility>

#include "server/lobby/form1.h"

namespace lobby {

// What the lobby does later rather than at once, so that its work is bounded by time and not
// by the rate of requests: the player list and the ranking merged while they change faster
// than SnapshotPacer lets them out, and the new nicks over the lobby's allowance.

void TForm1::Timer2Timer()
{
    Timer2.reset(); // armed again below for whatever still waits
    timer2DueMs_.reset();
    OutputScope scope(sender_, true);
    try {
        const std::int64_t now = StartHandlerClock();
        Guard.StartRound(now);
        for (const SnapshotPacer::Kind kind : {SnapshotPacer::kPlayerList, SnapshotPacer::kRanking}) {
            if (Pacer.TakeDue(kind, now, Cad.Online().size()))
                SendSnapshot(kind);
        }
        ServeWaitingRegistrations(now);
    } catch (...) {
        ArmTimer2();
        throw;
    }
    ArmTimer2();
}

// As many as the allowance serves now, best first; one that has waited RegistrationWait::kWaitMs
// is dropped (its client has given up, or asked again). A request whose nick was registered
// meanwhile (the same client asking twice) is a login now and needs no allowance. Each is
// carried out as a handler of its own, so one that fails stops none of the others.
void TForm1::ServeWaitingRegistrations(std::int64_t nowMs)
{
    waiting_.Refresh(
        nowMs, [&](AddressKey key) { return Guard.RegistrationsLeft(key, nowMs); },
        [&](AddressKey key) {
            Guard.CountRegistrationNotServed(key);
            CountDropped();
        });
    while (!waiting_.Empty()) {
        const WaitingRegistration& best = waiting_.Best();
        const std::optional<RequestFields> request = SplitRequest(best.bytes);
        const int nickRow = request ? Cad.NickRow(request->nick) : 0;
        if (request && nickRow == 0 && WouldRegister(*request) && !Guard.AdmitLobbyRegistration(nowMs))
            return;
        // Out of the wait before it is carried out: a lookup inside may dispatch requests
        // that add to it. Split again, as the fields view the bytes where they now are.
        const WaitingRegistration served = waiting_.TakeBest();
        const std::optional<RequestFields> fields = SplitRequest(served.bytes);
        const RequestSource source{served.address, served.key};
        Guard.StartRound(nowMs); // its sends are a round of their own, as when it arrived
        RunHandler([&] { CarryOut(source, served.bytes, fields, nickRow, nowMs); });
    }
}

void TForm1::ArmTimer2()
{
    if (!environment_.loop)
        return;
    std::optional<std::int64_t> due = Pacer.NextDueMs();
    const std::int64_t now = handlerNowMs_;
    if (!waiting_.Empty())
        due = std::min(due.value_or(INT64_MAX), Guard.LobbyRegistrationDueMs(now));
    if (!due) {
        Timer2.reset();
        timer2DueMs_.reset();
        return;
    }
    if (Timer2 && timer2DueMs_ && *timer2DueMs_ <= *due)
        return;
    const auto waitMs = static_cast<int>(std::clamp<std::int64_t>(*due - now, 1, kTimerIntervalMs));
    Timer2 = environment_.loop->StartTimer(waitMs, [this] { RunHandler([this] { Timer2Timer(); }); });
    timer2DueMs_ = now + waitMs;
}

} // namespace lobby
