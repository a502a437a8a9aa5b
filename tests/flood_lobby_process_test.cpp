// The flood guard of the built server in a lobby of a thousand players online, each joined
// from its own loopback address in a network namespace of the test's own: a player making
// requests of every kind loses none of them, while another address floods. The requests go
// as fast as the server takes them, far faster than a player's five a second, which only
// makes a limit easier to meet. Every wait is bounded.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/client_texts.h"
#include "support/loopback.h"
#include "support/private_network.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

using namespace lobby;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace test_support;

constexpr std::uint16_t kServerPort = 12001;
constexpr std::uint16_t kClientPort = 12000;
constexpr int kCrowd = 1000;
constexpr int kHonestRequests = 45; // nine seconds' worth at five a second
// Behind each of them, batches of junk small enough for the server's socket to queue: 18,000
// in all, so however slowly this machine runs the test (the guard lets through 100, then 50
// a second), well under one in twenty is logged.
constexpr int kJunkBatches = 4;
constexpr int kJunkPerBatch = 100;

std::string CrowdAddress(int i)
{
    return "127.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
}

// One request of the honest player's mix, and how each datagram it gets back begins.
struct Step {
    std::string command;
    std::vector<std::string> replies;
};

const std::vector<Step> kMix = {
    {"fc+|", {"lsj|"}},
    {"msg|oi", {Chat("honest", "oi")}},
    {"pvt|honest|psiu", {Private("honest", "psiu")}},
    {"fc-|", {"lsj|"}},
    {"scj|1", {"ttn|"}},
    {"xyz|", {}},
    {"off|", {}}, // offline: the leave notice and the list go to the others
    {"slc|", {"okj|", "lsj|", "ttn|", kConnected}},
};

class CrowdedLobby : public testing::Test {
protected:
    void SetUp() override
    {
        if (!network.Failure().empty())
            GTEST_SKIP() << "needs a private network namespace: " << network.Failure();
        std::string registry = ",Nick,Senha,Ip,Pontos,,\r\n,honest,pw,127.0.0.2,0,-,\r\n,probe,pw,127.0.0.3,0,-,\r\n";
        for (int i = 0; i < kCrowd; ++i)
            registry += ",c" + std::to_string(i) + ",pw," + CrowdAddress(i) + ",0,-,\r\n";
        WriteBytes(folder / "cadastro.txt", registry);
        const fs::path program = folder / "lobby-server";
        fs::copy_file(ServerProgramPath(), program);
        player.emplace("127.0.0.2", kClientPort);
        probe.emplace("127.0.0.3", kClientPort);
        flooder.emplace("127.0.0.4");
        server.emplace(std::vector<std::string>{program.string(), "m5qt4", "--headless", "--quiet"},
                       HeadlessServerSetup("/", (folder / "stderr").string()));
        ASSERT_TRUE(Sync()) << "the server does not answer: " << ReadBytes(folder / "stderr");
    }

    // Has the probe whisper a new token to itself and waits for it: everything sent before
    // has then been handled, and what it sent is in the sockets. Asks again now and then,
    // in case the server's queue was full.
    bool Sync()
    {
        const std::string token = std::to_string(++syncs);
        const std::string expected = Private("probe", token);
        for (int attempt = 0; attempt < 10; ++attempt) {
            probe->SendTo(kServerPort, "probe|pw|pvt|probe|" + token);
            for (int read = 0; read < 1000; ++read) {
                const auto datagram = probe->Receive(1000);
                if (!datagram)
                    break;
                if (datagram->bytes == expected)
                    return true;
            }
        }
        return false;
    }

    // Every received line the traffic logs hold from address.
    long LoggedFrom(const std::string& address) const
    {
        long count = 0;
        for (const auto& entry : fs::directory_iterator(folder.Path())) {
            if (entry.path().extension() != ".txt" || entry.path().filename() == "cadastro.txt")
                continue;
            std::ifstream log(entry.path(), std::ios::binary);
            for (std::string line; std::getline(log, line);)
                count += line.starts_with(address + ": ") ? 1 : 0;
        }
        return count;
    }

    PrivateNetwork network;
    TempFolder folder;
    std::optional<LoopbackPeer> player;  // 127.0.0.2:12000, as a game client
    std::optional<LoopbackPeer> probe;   // 127.0.0.3:12000
    std::optional<LoopbackPeer> flooder; // 127.0.0.4
    std::optional<ChildProgram> server;  // killed, if still running, before the namespace goes
    int syncs = 0;
};

TEST_F(CrowdedLobby, AnHonestPlayerLosesNothingWhileAFloodFromAnotherAddressIsCut)
{
    for (int i = 0; i < kCrowd; ++i) {
        const std::string address = CrowdAddress(i);
        LoopbackPeer(address.c_str()).SendTo(kServerPort, "c" + std::to_string(i) + "|pw|zzz|");
        if (i % 100 == 99) {
            ASSERT_TRUE(Sync()) << "joined " << i + 1;
        }
    }

    long junkSent = 0;
    for (int n = 0; n < kHonestRequests; ++n) {
        const Step& step = kMix[n % kMix.size()];
        SCOPED_TRACE("request " + std::to_string(n) + ": " + step.command);
        player->SendTo(kServerPort, "honest|pw|" + step.command);
        for (int batch = 0; batch < kJunkBatches; ++batch) {
            for (int j = 0; j < kJunkPerBatch; ++j, ++junkSent)
                flooder->SendTo(kServerPort, "junk");
            ASSERT_TRUE(Sync());
        }
        // A ranking waits for the save of its report, so it may come after the sync: the
        // replies expected are waited for, anything more is taken without waiting.
        std::vector<std::string> received;
        while (received.size() < step.replies.size()) {
            const auto datagram = player->Receive(2000);
            if (!datagram)
                break;
            received.push_back(datagram->bytes);
        }
        while (const auto datagram = player->Receive(0))
            received.push_back(datagram->bytes);
        ASSERT_EQ(received.size(), step.replies.size()) << testing::PrintToString(received);
        for (std::size_t r = 0; r < received.size(); ++r)
            EXPECT_TRUE(received[r].starts_with(step.replies[r])) << received[r].substr(0, 60);
    }

    server->Signal(SIGTERM);
    ASSERT_EQ(server->WaitForExit(10s), std::optional<int>(0)) << ReadBytes(folder / "stderr");
    EXPECT_EQ(LoggedFrom("127.0.0.2"), kHonestRequests);
    const long junkLogged = LoggedFrom("127.0.0.4");
    EXPECT_GT(junkLogged, 0);
    EXPECT_LE(junkLogged * 20, junkSent);
}

} // namespace
