#include <vector>

#include "server/form1.h"
#include "server/messages.h"

// Every five ticks of a minute: the first pings every online player and marks it "*"; the
// fifth takes offline every player still "*" (no request since its ping), sending a fresh
// player list after each one. An error ends the tick where it occurs; the counter has moved
// on already, so the next tick goes on as usual. The minute's reports to the operator (the
// flood guard's summary, the errors held back) come first, so a failing ping cannot hold
// them back.
void TForm1::Timer1Timer()
{
    const SendCount chargedToNobody(*this); // nor to a request this tick runs nested in
    ReportFloods();
    ReportHeldErrors();
    ++TickCount;
    if (TickCount == 1) {
        const std::vector<int> online(Cad.OnlineRows().begin(), Cad.OnlineRows().end());
        for (int row : online) {
            if (row >= Cad.RowCount() || !Cad.IsOnline(row))
                continue;
            Cad.SetCell(Registry::kMarker, row, "*");
            SendMessageTo(Cad.Cell(Registry::kAddress, row), messages::kPing);
        }
    }
    if (TickCount == 5) {
        TickCount = 0;
        const std::vector<int> online(Cad.OnlineRows().begin(), Cad.OnlineRows().end());
        for (int row : online) {
            if (row >= Cad.RowCount() || Cad.Cell(Registry::kMarker, row) != "*")
                continue;
            Cad.SetCell(Registry::kMarker, row, "");
            SendPlayerList();
        }
    }
}
