// A registry file as a careless hand leaves it: the header deleted, one nick in two letter
// cases, score cells no sort can read. The load names each mistake, logins keep finding the
// row they found before, and the console shows what stops the rankings and mends it.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/console/console.h"
#include "server/console/console_protocol.h"
#include "support/hand_driven_form.h"

using namespace lobby;

namespace {

using namespace test_support;
using testing::HasSubstr;
using testing::Not;

const std::string kHeader = ",Nick,Senha,Ip,Pontos,,\r\n";
const std::string kAna = ",ana,pw,10.0.0.1,5,-,\r\n";
const std::string kTaken = "Este nick j\xE1 existe!";

std::string Ask(Console& console, const std::vector<std::string>& words)
{
    std::string line = console_protocol::RequestLine(words);
    line.pop_back();
    std::string answer;
    console.Handle(line, [&](std::string text) { answer += text; });
    return answer;
}

struct MistakeCase {
    const char* name;
    std::string registry;
    std::string told;     // what the load tells the operator (a part of it)
    std::string keptWhy;  // the reason word of the copy kept beside; empty: none
    std::string accepted; // "nick|password" a login takes, after a sort
    std::string refused;  // "nick|password" refused as taken, after a sort
    std::string stopped;  // the row status names as stopping the rankings; empty: they run
    std::vector<std::string> mend; // the console command that mends it
};

TEST(RegistryMistakes, AreToldAtTheLoadAndMendedFromTheConsole)
{
    const MistakeCase cases[] = {
        {"the header deleted", ",ana,secret,127.0.5.1,500,-,\r\n,bob,pw,10.0.0.2,3,-,\r\n",
         "line 1 is not the header, its second cell not being \"Nick\": it is read as a player", "no-header",
         "ana|SECRET", "ana|other", "", {}},
        {"one nick in two letter cases", kHeader + ",Ana,pw1,10.0.0.1,5,-,\r\n,ANA,pw2,10.0.0.3,50,-,\r\n",
         "line 3, player \"ANA\": line 2 has the same nick (letter case aside), and logins find that one", "",
         "ana|pw1", "ana|pw2", "", {}},
        {"a blank line", kHeader + kAna + "\r\n,bob,pw,10.0.0.2,3,-,\r\n",
         "line 3, is blank, so score reports are not ranked until the line is removed (lobbyctl remove --empty-nick",
         "", "ana|pw", "ana|x", "line 3: row 2 () has score '', not a number; lobbyctl remove --empty-nick removes it",
         {"remove", "--empty-nick"}},
        {"a score written with blanks", kHeader + kAna + ",bob,pw,10.0.0.2, 20 ,-,\r\n",
         "line 3, player \"bob\": the score \" 20 \" is no integer", "", "bob|pw", "bob|x",
         "line 3: row 2 (bob) has score ' 20 ', not a number; lobbyctl score bob POINTS mends it",
         {"score", "bob", "20"}},
        {"a line cut at 4096 characters", kHeader + kAna + ",bob,pw,10.0.0.2," + std::string(5000, '7') + ",-,\r\n",
         "1 line(s) over 4096 characters are cut, the first line 3", "long-line", "bob|pw", "bob|x",
         "line 3: row 2 (bob) has score '', not a number; lobbyctl score bob POINTS mends it", {"score", "BOB", "+7"}},
    };
    for (const MistakeCase& test : cases) {
        SCOPED_TRACE(test.name);
        HandDrivenForm lobby([&](FormEnvironment& environment) {
            WriteBytes(std::filesystem::path(environment.appFolder) / "cadastro.txt", test.registry);
        });
        Console console(lobby.form->Console(), lobby.monotonic, nullptr, ConsoleSetup{"lobby-server", "9.9", {}, {}});
        EXPECT_THAT(lobby.notifier.AllTold(), HasSubstr(test.told));
        if (!test.keptWhy.empty()) {
            EXPECT_EQ(ReadBytes(lobby.folder / ("cadastro.txt.2026-12-07-102030." + test.keptWhy)), test.registry);
        }

        // A score report sorts the table; the rows a login finds stay the same.
        lobby.notifier.errors.clear();
        const bool ranked = lobby.Receive("10.0.0.9", "zed|pw|scj|1");
        EXPECT_EQ(ranked, test.stopped.empty());
        if (!ranked) {
            EXPECT_THAT(lobby.notifier.AllTold(), HasSubstr("rankings are stopped: " + test.stopped.substr(8)));
        }
        EXPECT_THAT(lobby.notifier.AllTold(), Not(HasSubstr("is not a valid integer value")));
        EXPECT_THAT(lobby.RegistryFile(), testing::StartsWith(kHeader)) << "saved under a header";
        lobby.TakeSent();
        EXPECT_TRUE(lobby.Receive("10.0.0.8", test.accepted + "|fc+|"));
        // Neither taken nor welcomed as new: the row the file had.
        EXPECT_THAT(lobby.SentTo("10.0.0.8"), Not(testing::Contains(testing::AnyOf(kTaken, HasSubstr("Bem vindo")))));
        lobby.TakeSent();
        EXPECT_TRUE(lobby.Receive("10.0.0.8", test.refused + "|fc+|"));
        EXPECT_THAT(lobby.SentTo("10.0.0.8"), testing::ElementsAre(kTaken));

        const std::string status = Ask(console, {"status"});
        if (test.stopped.empty()) {
            EXPECT_THAT(status, HasSubstr("rankings: running\n"));
            EXPECT_THAT(Ask(console, {"--json", "status"}), HasSubstr("\"rankings\":{\"stopped\":false}"));
            continue;
        }
        EXPECT_THAT(status, HasSubstr("rankings: STOPPED, 1 row has a score that is not a number"));
        EXPECT_THAT(status, HasSubstr("  " + test.stopped + "\n"));
        EXPECT_THAT(Ask(console, {"--json", "status"}), HasSubstr("\"stopped\":true,\"bad_score_rows\":1,\"stopped_by\":[{\"row\":2,\"line\":3,"));
        EXPECT_THAT(Ask(console, test.mend), testing::StartsWith("ok\n"));
        EXPECT_THAT(Ask(console, {"status"}), HasSubstr("rankings: running\n"));
        lobby.TakeSent();
        EXPECT_TRUE(lobby.Receive("10.0.0.9", "zed|pw|scj|1"));
        EXPECT_THAT(lobby.SentTo("10.0.0.9"), testing::Contains(testing::StartsWith("ttn|")));
        EXPECT_EQ(lobby.RegistryFile(), lobby.form->Cad.SaveToText());
    }
}

} // namespace
