// The console's lobby side on a hand-driven lobby: what it answers, and when.
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/console/console.h"
#include "server/console/console_protocol.h"
#include "support/form_under_test.h"

namespace {

using namespace lobby;
using testing::HasSubstr;
using testing::StartsWith;

struct ConsoleOnAHandDrivenLobby : testing::Test {
    // The whole answer to one request of these words.
    std::string Ask(const std::vector<std::string>& words)
    {
        std::string line = console_protocol::RequestLine(words);
        line.pop_back(); // the line end, which the socket takes off
        std::string answer;
        console.Handle(line, [&](std::string text) { answer += text; });
        return answer;
    }
    test_support::FormUnderTest lobby;
    Console console{lobby.form->Console(), lobby.monotonic, nullptr, ConsoleSetup{"lobby-server", "9.9", {}, {}}};
};

TEST(ConsoleRequestLine, CarriesAnyWord)
{
    const std::vector<std::string> words{"notice", "a\tb\\c\nd\re\\t", ""};
    const std::string line = console_protocol::RequestLine(words);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_EQ(console_protocol::RequestWords(line.substr(0, line.size() - 1)), words);
}

// A change is reported done only once a save holds it; a save that fails says so.
TEST_F(ConsoleOnAHandDrivenLobby, AChangeIsDoneOnlyOnceOnDisk)
{
    lobby.Join("10.0.0.1", "ana");
    std::filesystem::create_directory(lobby.folder / "cadastro.txt.tmp"); // the save cannot make its file
    EXPECT_THAT(Ask({"password", "ana", "new"}), StartsWith("error\nthe change is made but the save failed"));
    lobby.notifier.errors.clear();
    std::filesystem::remove(lobby.folder / "cadastro.txt.tmp");
    EXPECT_EQ(Ask({"password", "ANA", "newer"}), "ok\nthe password of ana is changed, and on disk\n");
    EXPECT_THAT(lobby.RegistryFile(), HasSubstr(",ana,newer,10.0.0.1,"));
    EXPECT_THAT(Ask({"password", "ana", "a,b"}), StartsWith("error\na password holds no"));
    EXPECT_THAT(Ask({"save"}), StartsWith("ok\nsaved in "));
}

// Every byte of a nick reaches a script, the code page's letters as themselves.
TEST_F(ConsoleOnAHandDrivenLobby, JsonCarriesEveryByteOfANick)
{
    lobby.Join("10.0.0.1", "jos\xE9\"\x81");
    EXPECT_THAT(Ask({"--json", "who"}), HasSubstr("{\"nick\":\"jos\xC3\xA9\\\"\xC2\x81\",\"address\":\"10.0.0.1\""));
    EXPECT_THAT(Ask({"who"}), HasSubstr("jos\xC3\xA9\"\\x81  10.0.0.1"));
}

// What cannot be done is refused saying why, and changes nothing.
TEST_F(ConsoleOnAHandDrivenLobby, RefusesWhatItCannotDoSayingWhy)
{
    lobby.Join("10.0.0.1", "ana");
    lobby.Receive("10.0.0.1", "ana|pw|off|");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"who", "all"}, "who takes 0 arguments, not 1"},
        {{"ban"}, "ban takes 1 or 2 arguments, not 0"},
        {{"kick", "ana"}, "\"ana\" is not online"},
        {{"remove", "zed"}, "no player is named \"zed\""},
        {{"top", "0"}, "top takes how many rows to show, 1 to 10000, not \"0\""},
        {{"notice", std::string(2045, 'x')}, "the notice is 2045 bytes in the lobby's code page; one datagram holds 2044"},
        {{"ban", "host", "x"}, "a ban names a nick or an address"},
        {{"unban", "nick", "zed"}, "there is no ban of nick zed"},
        {{"reload"}, "this lobby has no configuration to read"},
        {{"score", "ana", "1x"}, "score takes the player's new score, a whole number from -2147483648 to 2147483647, not \"1x\""},
        {{"score", "ana", "2147483648"}, "score takes the player's new score"},
        {{"score", "zed", "5"}, "no player is named \"zed\""},
        {{"remove", "--empty-nick"}, "no row of the registry has an empty nick"},
    };
    for (const auto& [words, why] : cases) {
        SCOPED_TRACE(testing::PrintToString(words));
        EXPECT_THAT(Ask(words), StartsWith("error\n" + why));
    }
    EXPECT_THAT(lobby.TakeSent(), testing::IsEmpty());
    EXPECT_EQ(Ask({"notice", std::string(2044, 'x')}), "ok\nsent to 0 players online\n");
}

// A ban of an address takes offline every player online from it at once; the others hear of
// each, and get the player list once.
TEST_F(ConsoleOnAHandDrivenLobby, AnAddressBanTakesItsPlayersOffline)
{
    lobby.Join("10.0.0.7", "ana");
    lobby.Join("10.0.0.7", "bia");
    lobby.Join("10.0.0.8", "cid");
    lobby.TakeSent();
    EXPECT_EQ(Ask({"ban", "10.0.0.7"}), "ok\naddress 10.0.0.7 is banned; taken offline: ana, bia\n");
    EXPECT_THAT(lobby.SentTo("10.0.0.8"), testing::ElementsAre("msg|O Vemba avisa que ana saiu do jogo.",
                                                               "msg|O Vemba avisa que bia saiu do jogo.", "lsj|+cid|..."));
    EXPECT_THAT(lobby.SentTo("10.0.0.7"), testing::IsEmpty());
    lobby.TakeSent();
    lobby.Receive("10.0.0.7", "dan|pw|slc|");
    EXPECT_THAT(lobby.TakeSent(), testing::IsEmpty());
    EXPECT_EQ(lobby.RowOf("dan"), 0) << "a banned address registers nobody";
    EXPECT_EQ(lobby.form->Status().Counters().banned, 1u);
}

// score sets a score as a report changes it: the table sorted, saved, and ranked; remove
// --empty-nick takes out every row without a nick, as a hand-edited file may hold them.
TEST_F(ConsoleOnAHandDrivenLobby, ScoreAndRemoveEmptyNickMendTheTable)
{
    lobby.LoadRegistryFile(",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,10.0.0.1,5,-,\r\n\r\n,bob,pw,10.0.0.2,3,-,\r\n,,pw,10.0.0.4,1,-,\r\n");
    lobby.Receive("10.0.0.2", "bob|pw|slc|");
    lobby.TakeSent();
    EXPECT_THAT(Ask({"score", "BOB", "-7"}), HasSubstr("is -7, on disk\nrankings: STOPPED, 1 row"));
    EXPECT_THAT(lobby.TakeSent(), testing::IsEmpty()) << "no ranking while the sort cannot read every score";
    EXPECT_EQ(Ask({"remove", "--empty-nick"}), "ok\n2 rows with an empty nick removed from the registry, on disk\n");
    EXPECT_EQ(lobby.Nicks(), (std::vector<std::string>{"ana", "bob"}));
    EXPECT_EQ(Ask({"score", "bob", "+40"}), "ok\nthe score of bob is 40, on disk\nrankings: running\n");
    EXPECT_EQ(lobby.Nicks(), (std::vector<std::string>{"bob", "ana"}));
    EXPECT_EQ(lobby.RegistryFile(), lobby.form->Cad.SaveToText());
    EXPECT_THAT(lobby.SentTo("10.0.0.2"), testing::Contains("ttn|bob - 40|ana - 5|..."));
    EXPECT_THAT(lobby.LogText(), HasSubstr("console: 10:20:30 score|bob|40\r\n"));
}

} // namespace
