// The operator's console against the built server: lobbyctl goes through every command once,
// and what it reported done survives a SIGKILL right after.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/regional_settings.h"
#include "server/traffic_log/date_text.h"
#include "support/child_program.h"
#include "support/loopback.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace test_support;
using testing::HasSubstr;

// A lobby of its own: a folder, a configuration file, the server on a free port answering
// to client's port, and two players, ana (ranked first) and bob, online from 127.0.0.1.
class ConsoleProcess : public testing::Test {
protected:
    ConsoleProcess()
    {
        WriteBytes(folder / "cadastro.txt", ",Nick,Senha,Ip,Pontos,\r\n,ana,pw,127.0.0.1,50,-,\r\n,bob,pw,127.0.0.1,7,-,\r\n");
        WriteBytes(folder / "lobby.conf", "# test\nrate-limit = 40\n");
        server.emplace(std::vector<std::string>{ServerProgramPath(), "m5qt4", "--dir", folder.Path().string(),
                                                "--listen-port", std::to_string(port), "--reply-port",
                                                std::to_string(client.Port()), "--config", (folder / "lobby.conf").string()},
                       HeadlessServerSetup("/", (folder / "stderr").string()));
        for (int i = 0; i < 200 && !fs::exists(folder / "lobby.sock"); ++i)
            std::this_thread::sleep_for(10ms);
        for (const char* nick : {"ana", "bob"})
            client.SendTo(port, std::string(nick) + "|pw|slc|");
        while (client.Receive(300)) {
        }
    }

    ProgramResult Ctl(std::vector<std::string> words)
    {
        words.insert(words.begin(), {LOBBYCTL_PATH, "--dir", folder.Path().string()});
        return RunProgram(words, 20s);
    }
    // Everything the players were sent since the last call.
    std::vector<std::string> Sent()
    {
        std::vector<std::string> sent;
        while (const auto datagram = client.Receive(300))
            sent.push_back(datagram->bytes);
        return sent;
    }

    TempFolder folder;
    LoopbackPeer client;
    const std::uint16_t port = FreeLoopbackPort();
    std::optional<ChildProgram> server;
};

TEST_F(ConsoleProcess, EveryCommandOnce)
{
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string out;                // in what it printed (standard output, or error when refused)
        std::vector<std::string> sent;  // what the players were sent, in order
    };
    const Case cases[] = {
        {{"status"}, 0, "players: 2 online, 2 registered", {}},
        {{"--json", "status"}, 0, "\"players_online\":2,\"players_registered\":2", {}},
        {{"who"}, 0, "bob   127.0.0.1  +     ", {}},
        {{"top", "1"}, 0, "1     ana   50     online\n", {}},
        {{"notice", "Volta", "já"}, 0, "sent to 2 players online", {"sys|Volta j\xE1"}},
        {{"notice", "✓"}, 1, "lacks", {}},
        {{"kick", "BOB"}, 0, "bob is offline now", {"msg|O Vemba avisa que bob saiu do jogo.", "lsj|+ana|..."}},
        {{"kick", "zed"}, 1, "no player is named \"zed\"", {}},
        {{"password", "ana", "n3w"}, 0, "on disk", {}},
        {{"remove", "bob"}, 0, "removed from the registry, on disk", {"ttn|ana - 50|..."}},
        {{"ban", "10.9.9.9"}, 0, "address 10.9.9.9 is banned", {}},
        {{"ban", "nick", "ana"}, 0, "taken offline: ana", {}},
        {{"bans"}, 0, "address 10.9.9.9\nnick ana\n", {}},
        {{"unban", "nick", "ana"}, 0, "no longer banned", {}},
        {{"save"}, 0, "saved in", {}},
        {{"reload"}, 0, "rate-limit 40 -> 5", {}},
        {{"metrics"}, 0, "lobby_players_registered 1\n", {}},
        {{"frobnicate"}, 2, "unknown command", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.words));
        if (c.words.front() == "reload")
            WriteBytes(folder / "lobby.conf", "rate-limit = 5\n");
        const ProgramResult result = Ctl(c.words);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_THAT(result.out + result.err, HasSubstr(c.out));
        EXPECT_EQ(Sent(), c.sent);
    }
    // On disk once reported, and the traffic log tells the console did it.
    const std::string registry = ReadBytes(folder / "cadastro.txt");
    EXPECT_THAT(registry, HasSubstr(",ana,n3w,"));
    EXPECT_THAT(registry, testing::Not(HasSubstr(",bob,")));
    const std::string log = ReadBytes(folder / (DateText(RegionalSettings{}, SystemClock().Now()) + ".txt"));
    EXPECT_THAT(log, testing::ContainsRegex("console: [0-9:]+ kick\\|BOB\r\n"));
    EXPECT_THAT(log, testing::Not(HasSubstr("n3w")));

    // A banned address's and a banned nick's requests are dropped unseen, and counted.
    client.SendTo(port, "ana|n3w|slc|");
    EXPECT_THAT(Sent(), testing::Contains("sys|Conectado ao jogo!"));
    Ctl({"ban", "nick", "ana"});
    client.SendTo(port, "ana|n3w|slc|");
    EXPECT_THAT(Sent(), testing::IsEmpty());
    EXPECT_THAT(Ctl({"metrics"}).out, HasSubstr("lobby_dropped_total{reason=\"banned\"} 1\n"));

    // SIGHUP reads the configuration again too, and says what it did on standard error.
    WriteBytes(folder / "lobby.conf", "rate-limit = 6\n");
    server->Signal(SIGHUP);
    for (int i = 0; i < 200 && ReadBytes(folder / "stderr").find("rate-limit 5 -> 6") == std::string::npos; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_THAT(ReadBytes(folder / "stderr"), HasSubstr("lobby.conf and the regional settings read again; rate-limit 5 -> 6\n"));
}

TEST_F(ConsoleProcess, WhatItReportedSurvivesASigkillRightAfter)
{
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"password", "ana", "after"}, {"remove", "bob"}, {"ban", "nick", "eve"}})
        ASSERT_EQ(Ctl(words).status, 0);
    server->Signal(SIGKILL);
    ASSERT_EQ(server->WaitForExit(10s), std::optional<int>(128 + SIGKILL));
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), ",Nick,Senha,Ip,Pontos,,\r\n,ana,after,127.0.0.1,50,+,\r\n");
    EXPECT_THAT(ReadBytes(folder / "bans.txt"), HasSubstr("\nnick eve\n"));
}

// A ban is of what it looks like: an address, a range of them, or a nick; what looks like an
// address but is none is refused before anything is sent, and --nick forces a nick.
TEST_F(ConsoleProcess, BansMeanWhatTheySay)
{
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string out;
    };
    const Case cases[] = {
        {{"ban", "10.0.0.0/8"}, 0, "address 10.0.0.0/8 is banned\n"},
        {{"ban", "10.1.2.3"}, 0, "address 10.1.2.3 is banned\n"},
        {{"ban", "::1"}, 2, "\"::1\" is an IPv6 address, and the lobby serves IPv4 only"},
        {{"ban", "10.0.0.0/33"}, 2, "the prefix after \"/\" is a number from 1 to 32"},
        {{"ban", "10.0.0/8"}, 2, "the address is four numbers 0 to 255"},
        {{"ban", "10.0.0.1/8"}, 2, "has bits set past its /8: the range is 10.0.0.0/8"},
        {{"unban", "address", "1.2.3"}, 2, "\"1.2.3\" is no IPv4 address"},
        {{"ban", "--nick"}, 2, "--nick needs the nick"},
        {{"ban", "--nick", "10.0.0.0/8"}, 0, "nick 10.0.0.0/8 is banned\n"},
        {{"ban", "ana.b"}, 0, "nick ana.b is banned\n"},
        {{"unban", "10.0.0.0/8"}, 0, "address 10.0.0.0/8 is no longer banned\n"},
        {{"ban", "127.0.0.0/8"}, 0, "address 127.0.0.0/8 is banned; taken offline: ana, bob\n"},
        {{"bans"}, 0, "address 10.1.2.3\nnick 10.0.0.0/8\nnick ana.b\naddress 127.0.0.0/8\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.words));
        const ProgramResult result = Ctl(c.words);
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_THAT(result.out + result.err, HasSubstr(c.out));
    }
    Sent();
    client.SendTo(port, "ana|pw|slc|");
    EXPECT_THAT(Sent(), testing::IsEmpty()) << "127.0.0.1 is in the banned range";
    EXPECT_THAT(ReadBytes(folder / "bans.txt"), HasSubstr("\naddress 127.0.0.0/8\n"));
}

TEST(ConsoleWithoutLobby, SaysNoLobbyRunsWithStatus3)
{
    TempFolder folder;
    const ProgramResult result = RunProgram({LOBBYCTL_PATH, "--dir", folder.Path().string(), "status"}, 20s);
    EXPECT_EQ(result.status, 3);
    EXPECT_THAT(result.err, HasSubstr("no lobby is running on " + (folder / "lobby.sock").string()));
}

// A wrong command line is told before anything is sent: status 2.
TEST(ConsoleWithoutLobby, AWrongCommandLineIsStatus2)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "no command"},
        {{"--dir", "a", "--socket", "b", "status"}, "--dir and --socket both name the socket"},
        {{"kick"}, "usage: lobbyctl kick NICK"},
        {{"top", "1", "2"}, "usage: lobbyctl top [N]"},
        {{"--timeout", "0", "status"}, "--timeout needs a number of seconds from 1 to 3600"},
        {{"--frob", "status"}, "unknown option --frob"},
        {{"--socket"}, "--socket needs a value"},
        {{"--dir", "", "status"}, "--dir needs a folder"},
        {{"frob"}, "unknown command \"frob\""},
        {{"remove"}, "usage: lobbyctl remove NICK (see"},
        {{"unban"}, "usage: lobbyctl unban [--nick|address] X (see"},
        {{"ban", "--nick"}, "--nick needs the nick"},
    };
    for (auto [words, message] : cases) {
        words.insert(words.begin(), LOBBYCTL_PATH);
        const ProgramResult result = RunProgram(words, 20s);
        EXPECT_EQ(result.status, 2) << message;
        EXPECT_THAT(result.err, HasSubstr("lobbyctl: " + message));
    }
}

} // namespace
