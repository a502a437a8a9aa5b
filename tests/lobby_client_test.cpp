// The built lobby-client against a stand-in server: a socket on 127.0.0.1 that reads the
// request and answers with whatever bytes a test needs. The client is pointed at it and at a
// free local port with its port options, so the tests need neither port 12001 nor 12000.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/loopback.h"

using namespace lobby;

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace test_support;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

constexpr auto kExitTimeout = 15s;
constexpr auto kOutputTimeout = 5s;
constexpr int kRequestTimeoutMs = 5000;

// The lines of text without their line ends.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The built client's command line with these words after the program.
std::vector<std::string> ClientCommand(const std::vector<std::string>& words)
{
    std::vector<std::string> command = {LOBBY_CLIENT_PATH};
    command.insert(command.end(), words.begin(), words.end());
    return command;
}

// What an operator's terminal gets on an error: exactly one line, in the client's name.
void ExpectOneErrorLine(const std::string& err, const std::string& part)
{
    EXPECT_THAT(err, StartsWith("lobby-client: "));
    EXPECT_THAT(err, HasSubstr(part));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_TRUE(err.ends_with("\n")) << err;
}

class LobbyClient : public testing::Test {
protected:
    // The client's command line aimed at the stand-in server, listening on clientPort; more
    // words follow.
    std::vector<std::string> Aimed(const std::vector<std::string>& words) const
    {
        std::vector<std::string> all = {"--server", "127.0.0.1", "--server-port", std::to_string(server.Port()),
                                        "--port", std::to_string(clientPort)};
        all.insert(all.end(), words.begin(), words.end());
        return ClientCommand(all);
    }

    // The request the client sent; fails the test when none came.
    PeerDatagram Request() const
    {
        std::optional<PeerDatagram> request = server.Receive(kRequestTimeoutMs);
        if (!request) {
            ADD_FAILURE() << "the client sent no request";
            return {};
        }
        return *request;
    }

    void Reply(const std::string& bytes) const { server.SendTo(clientPort, bytes); }

    LoopbackPeer server;
    std::uint16_t clientPort = FreeLoopbackPort();
};

// --- The request ---

using LobbyClientRequest = LobbyClient;

TEST_F(LobbyClientRequest, FourFieldsInTheCodePageFromTheClientsPort)
{
    // Typed in a UTF-8 terminal; sent one byte a letter, as a game client sends them.
    ChildProgram client(Aimed({"--wait", "100", "Jo\u00E3o", "s\u00EAnha", "pvt", "Ana|ol\u00E1 \u20AC\u0153"}));
    const PeerDatagram request = Request();
    EXPECT_EQ(request.bytes, "Jo\xE3o|s\xEAnha|pvt|Ana|ol\xE1 \x80\x9C");
    EXPECT_EQ(request.fromIp, "127.0.0.1");
    // The server answers on the port the client listens on, so it must send from there too.
    EXPECT_EQ(request.fromPort, clientPort);
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0) << client.Err();
}

TEST_F(LobbyClientRequest, RawSendsTheBytesAsGiven)
{
    ChildProgram client(Aimed({"--wait", "100", "--raw", "Ana", "pw", "msg", "ol\u00E1 \xE1"}));
    EXPECT_EQ(Request().bytes, "Ana|pw|msg|ol\xC3\xA1 \xE1");
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0) << client.Err();
}

TEST_F(LobbyClientRequest, WithoutArgumentTheLastFieldIsEmpty)
{
    ChildProgram client(Aimed({"--wait", "100", "Ana", "pw", "slc"}));
    EXPECT_EQ(Request().bytes, "Ana|pw|slc|");
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0);
}

TEST_F(LobbyClientRequest, OptionsMayFollowTheWordsAndDoubleDashEndsThem)
{
    std::vector<std::string> words = {"--", "--Ana", "--pw", "msg", "--listen"};
    // Options of the stand-in server first, then the words after "--".
    std::vector<std::string> aimed = Aimed({"--wait", "100"});
    aimed.insert(aimed.end(), words.begin(), words.end());
    ChildProgram client(aimed);
    EXPECT_EQ(Request().bytes, "--Ana|--pw|msg|--listen");
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0) << client.Err();

    ChildProgram trailing(ClientCommand({"Bia", "pw", "off", "--server-port", std::to_string(server.Port()), "--port",
                                         std::to_string(clientPort), "--wait", "100"}));
    EXPECT_EQ(Request().bytes, "Bia|pw|off|");
    EXPECT_EQ(trailing.WaitForExit(kExitTimeout), 0) << trailing.Err();
}

TEST_F(LobbyClientRequest, FromSendsFromThatLocalAddress)
{
    ChildProgram client(Aimed({"--wait", "100", "--from", "127.0.0.2", "Ana", "pw", "slc"}));
    const PeerDatagram request = Request();
    EXPECT_EQ(request.fromIp, "127.0.0.2");
    EXPECT_EQ(request.fromPort, clientPort);
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0) << client.Err();
}

// --- The replies ---

using LobbyClientReplies = LobbyClient;

TEST_F(LobbyClientReplies, EachReplyIsPrintedOnItsOwnLineAsSoonAsItArrives)
{
    // A wait far longer than the test: the second reply is sent only once the first has been
    // read from the client's output, which therefore cannot have been held back until exit.
    ChildProgram client(Aimed({"--wait", "60000", "Ana", "pw", "slc"}));
    Request();
    Reply("sys|Bem vindo ao nosso servidor!");
    ASSERT_TRUE(client.WaitForOutput([](const std::string& out) { return Lines(out).size() == 1; }, kOutputTimeout))
        << client.Out();
    Reply("okj|0");
    Reply("");
    Reply("lsj|+Ana|...");
    ASSERT_TRUE(client.WaitForOutput([](const std::string& out) { return Lines(out).size() == 4; }, kOutputTimeout))
        << client.Out();
    client.Signal(SIGINT);
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0);
    EXPECT_THAT(Lines(client.Out()), ElementsAre("sys|Bem vindo ao nosso servidor!", "okj|0", "", "lsj|+Ana|..."));
    EXPECT_EQ(client.Err(), "");
}

TEST_F(LobbyClientReplies, CodePageLettersShowAsUtf8AndControlBytesAsEscapes)
{
    ChildProgram client(Aimed({"--wait", "500", "Ana", "pw", "slc"}));
    Request();
    Reply("Este nick j\xE1 existe!");
    Reply("msg|Ana manda dizer s\xF3 para voc\xEA: \x80\x8A\x9F \xE7\xFF\xA0.");
    // Bytes the code page leaves undefined, every kind of control byte, and the backslash,
    // so that an escape in the output can never be mistaken for text the server sent.
    Reply("\x81\x8D\x8F\x90\x9D|\\x41|\t\r\n|\x00\x01\x1F\x7F"s);
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0) << client.Err();
    EXPECT_THAT(Lines(client.Out()), ElementsAre("Este nick já existe!",
                                                 "msg|Ana manda dizer só para você: €ŠŸ çÿ\u00A0.",
                                                 "\\x81\\x8D\\x8F\\x90\\x9D|\\\\x41|\\t\\r\\n|\\x00\\x01\\x1F\\x7F"));
}

TEST_F(LobbyClientReplies, EndsOnItsOwnOnceTheWaitPassesWithoutAReply)
{
    ChildProgram client(Aimed({"--wait", "200", "Ana", "pw", "slc"}));
    Request();
    Reply("okj|0");
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0);
    EXPECT_EQ(client.Out(), "okj|0\n");
    EXPECT_EQ(client.Err(), "");
}

TEST_F(LobbyClientReplies, NoReplyAtAllIsSaidOnStandardErrorButIsNoFailure)
{
    // "off" and a known player's unknown command are answered with nothing.
    ChildProgram client(Aimed({"--wait", "200", "Ana", "pw", "off"}));
    Request();
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0);
    EXPECT_EQ(client.Out(), "");
    EXPECT_EQ(client.Err(), "lobby-client: no reply within 200 ms\n");
}

TEST_F(LobbyClientReplies, ListenGoesOnThroughQuietSpellsUntilTerminated)
{
    ChildProgram client(Aimed({"--listen", "--wait", "100", "Ana", "pw", "slc"}));
    Request();
    Reply("okj|0");
    ASSERT_TRUE(client.WaitForOutput([](const std::string& out) { return out == "okj|0\n"; }, kOutputTimeout));
    // Several times the wait without a reply: a client that stopped now would miss the ping.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(client.WaitForExit(0ms), std::nullopt) << "stopped without being interrupted";
    Reply("png|");
    EXPECT_TRUE(client.WaitForOutput([](const std::string& out) { return out == "okj|0\npng|\n"; }, kOutputTimeout))
        << client.Out();
    client.Signal(SIGTERM);
    EXPECT_EQ(client.WaitForExit(kExitTimeout), 0);
    EXPECT_EQ(client.Err(), "");
}

// --- Failures the operator is told about ---

using LobbyClientErrors = LobbyClient;

TEST_F(LobbyClientErrors, PortAlreadyTakenIsOneLineAndStatusOne)
{
    // The stand-in server's own port, as a game client or a second lobby-client would hold
    // port 12000.
    const std::string taken = std::to_string(server.Port());
    const ProgramResult result = RunProgram(
        ClientCommand({"--server-port", taken, "--port", taken, "--wait", "100", "Ana", "pw", "slc"}), kExitTimeout);
    EXPECT_EQ(result.status, 1);
    ExpectOneErrorLine(result.err, "port " + taken + " is taken by another program");
    EXPECT_EQ(result.out, "");
}

TEST_F(LobbyClientErrors, UnknownHostIsOneLineAndStatusOne)
{
    // .invalid names never resolve, by reservation, whatever the machine's name service.
    const ProgramResult result =
        RunProgram(Aimed({"--server", "lobby-test.invalid", "--wait", "100", "Ana", "pw", "slc"}), 60s);
    EXPECT_EQ(result.status, 1);
    ExpectOneErrorLine(result.err, "unknown host \"lobby-test.invalid\"");
    EXPECT_EQ(server.Receive(0), std::nullopt);
}

TEST_F(LobbyClientErrors, FromAddressNotOfThisMachineIsOneLineAndStatusOne)
{
    // 192.0.2.1 is reserved for documentation, so no machine has it; nothing is sent.
    const ProgramResult result = RunProgram(Aimed({"--from", "192.0.2.1", "--wait", "100", "Ana", "pw", "slc"}),
                                            kExitTimeout);
    EXPECT_EQ(result.status, 1);
    ExpectOneErrorLine(result.err, "address 192.0.2.1 is not one of this machine's");
}

TEST_F(LobbyClientErrors, BadCommandLinesAreOneLineAndStatusTwoBeforeAnythingIsSent)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"Ana", "pw"}, "needs NICK PASSWORD COMMAND"},
        {{"Ana", "pw", "msg", "hello", "world"}, "too many words"},
        {{"--verbose", "Ana", "pw", "slc"}, "unknown option --verbose"},
        {{"Ana", "pw", "slc", "--port"}, "--port needs a value"},
        {{"--port", "12x", "Ana", "pw", "slc"}, "--port needs a number from 0 to 65535"},
        {{"--port", "65536", "Ana", "pw", "slc"}, "--port needs a number"},
        {{"--server-port", "0", "Ana", "pw", "slc"}, "--server-port needs a number from 1 to 65535"},
        {{"--wait", "-1", "Ana", "pw", "slc"}, "--wait needs a number"},
        {{"Ana", "pw", "msg", "cze\u015B\u0107"}, "the argument holds \"\u015B\" (U+015B), which the lobby's code page"},
        {{"Ana\U0001F600", "pw", "slc"}, "the nick holds \"\U0001F600\" (U+1F600)"},
        {{"Ana", "s\xEAnha", "slc"}, "the password is not UTF-8 text (byte \\xEA); --raw sends the bytes as given"},
    };
    for (const auto& [words, message] : cases) {
        std::vector<std::string> command = Aimed({});
        command.insert(command.end(), words.begin(), words.end());
        const ProgramResult result = RunProgram(command, kExitTimeout);
        SCOPED_TRACE(message);
        EXPECT_EQ(result.status, 2);
        ExpectOneErrorLine(result.err, message);
        EXPECT_EQ(result.out, "");
        // The client has ended, and a datagram sent over loopback is queued at once.
        EXPECT_EQ(server.Receive(0), std::nullopt);
    }
}

TEST_F(LobbyClientErrors, HelpWinsOverMistakesAndNamesEveryOption)
{
    const ProgramResult result = RunProgram(ClientCommand({"--port", "x", "--help", "--version"}), kExitTimeout);
    EXPECT_EQ(result.status, 0);
    EXPECT_THAT(result.out, StartsWith("Usage: lobby-client [OPTION...] NICK PASSWORD COMMAND [ARGUMENT]\n"));
    for (const char* option :
         {"--server ", "--server-port ", "--from ", "--port ", "--wait ", "--listen", "--raw", "--help", "--version"})
        EXPECT_THAT(result.out, HasSubstr(option));
    EXPECT_EQ(result.err, "");
}

TEST_F(LobbyClientErrors, VersionWinsOverMistakes)
{
    const ProgramResult result = RunProgram(ClientCommand({"--port", "x", "--version"}), kExitTimeout);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "lobby-client " LOBBY_VERSION "\n");
    EXPECT_EQ(result.err, "");
}

} // namespace
