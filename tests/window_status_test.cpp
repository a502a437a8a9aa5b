// The line under the window's grid: the figures it reads from the form, and how it tells the
// last save, which is what an operator glancing at the window must not misread.
#include <gtest/gtest.h>

#include "app/window_status.h"
#include "support/form_under_test.h"

using namespace lobby;
using namespace test_support;

namespace {

TEST(WindowStatus, TellsTheLastSaveAndWhetherItWorked)
{
    SaveRecord none;
    SaveRecord good;
    good.saves = 3;
    good.endedAt = LocalDateTime{2026, 12, 8, 14, 3, 22};
    SaveRecord failed = good;
    failed.failures = 1;
    failed.error = "Disk full (/srv/lobby/cadastro.txt.tmp: No space left on device)";
    const struct {
        const char* name;
        SaveRecord save;
        std::string text;
    } cases[] = {
        {"none since start-up", none, "no save yet"},
        {"the last one worked", good, "last save 2026-12-08 14:03:22, ok"},
        {"the last one failed", failed,
         "last save 2026-12-08 14:03:22 FAILED: Disk full (/srv/lobby/cadastro.txt.tmp: No space left on device)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LastSaveText(c.save), c.text) << c.name;
}

TEST(WindowStatus, CountsThePlayersOnlineAndRegistered)
{
    FormUnderTest lobby;
    EXPECT_EQ(WindowStatusText(*lobby.form), "0 online, 0 registered; " + LastSaveText(lobby.form->LastSave()));
    lobby.JoinLastOffline({"ana", "bia", "caio"});
    EXPECT_EQ(WindowStatusText(*lobby.form), "2 online, 3 registered; " + LastSaveText(lobby.form->LastSave()));
}

} // namespace
