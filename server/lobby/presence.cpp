#include "server/lobby/form1.h"
#include "server/lobby/messages.h"

namespace lobby {

// Every five ticks of a minute: the first pings every online player and marks it "*"; the
// fifth takes offline every player still "*" (no request since its ping), sending a fresh
// player list after each one. An error ends the tick where it occurs; the counter has moved
// on already, so the next tick goes on as usual. The minute's reports to the operator (the
// flood guard's summary, the errors held back) come first, so a failing ping cannot hold
// them back.
void TForm1::Timer1Timer()
{
    OutputScope scope(sender_, true);
    StartHandlerClock();
    ReportFloods();
    ReportHeldErrors();
    ++TickCount;
    if (TickCount == 1) {
        OutgoingMessage ping(messages::kPing);
        Cad.ForEachOnline([&](Registry::RowId id) {
            Cad.SetCell(Registry::kMarker, Cad.RowOfId(id), "*");
            sender_.Deliver(Cad.CellOf(id, Registry::kAddress), ping);
        });
    }
    if (TickCount == 5) {
        TickCount = 0;
        Cad.ForEachOnline([&](Registry::RowId id) {
            if (Cad.CellOf(id, Registry::kMarker) != "*")
                return;
            Cad.SetCell(Registry::kMarker, Cad.RowOfId(id), "");
            PublishPlayerList();
        });
    }
}

} // namespace lobby
