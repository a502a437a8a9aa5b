// The console's lobby side on a hand-driven lobby: what it answers, and when.
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "server/console.h"
#include "server/console_protocol.h"
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
    Console console{*lobby.form, lobby.monotonic, nullptr, ConsoleSetup{"lobby-server", "9.9", {}, {}}};
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

} // namespace
