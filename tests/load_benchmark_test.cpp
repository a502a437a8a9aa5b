// The load benchmark's two programs run whole, in a private network namespace where the
// simulated clients can take their 127.0.x.y addresses: loadgen must count every request
// and every fanned-out reply, tell lost replies from answered ones and keep a fixed rate;
// raw_server must answer each request with its K datagrams, log every line and save when
// asked. A fault in either would make scripts/bench print wrong figures without any error.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/private_network.h"
#include "support/temp_folder.h"

using namespace lobby;

namespace {

using namespace std::chrono_literals;
using test_support::ChildProgram;
using test_support::PrivateNetwork;
using test_support::RunProgram;

// The number after "key=" in a loadgen report line, or -1 when the key is missing.
double Field(const std::string& report, const std::string& key)
{
    const std::string mark = " " + key + "=";
    const std::string padded = " " + report;
    const auto at = padded.find(mark);
    if (at == std::string::npos)
        return -1;
    return std::stod(padded.substr(at + mark.size()));
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class LoadBenchmarkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!network.Failure().empty())
            GTEST_SKIP() << "needs a private network namespace: " << network.Failure();
    }

    // Starts raw_server with extra options and waits until it answers a probe.
    void StartRawServer(std::vector<std::string> options)
    {
        std::vector<std::string> arguments{LOBBY_RAW_SERVER_PATH, "--dir", folder.Path().string(), "--seconds", "60"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        raw = std::make_unique<ChildProgram>(arguments);
        const auto probe = RunProgram({LOBBY_LOADGEN_PATH, "--probe", "--template", "probe", "--seconds", "10"}, 15s);
        ASSERT_EQ(probe.status, 0) << probe.out << probe.err;
    }

    // Runs loadgen with these options; returns its report line.
    static std::string Load(std::vector<std::string> options)
    {
        std::vector<std::string> arguments{LOBBY_LOADGEN_PATH};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const auto result = RunProgram(arguments, 30s);
        EXPECT_EQ(result.status, 0) << result.err;
        return result.out;
    }

    // How many probes raw_server logged: the probe asks every 10 ms until answered, so a
    // slow first answer (a save's fsync, a busy machine) has it served twice or more.
    std::size_t ProbesServed() const
    {
        std::size_t probes = 0;
        for (const std::string& line : Lines(ReadBytes(folder / "raw-traffic.txt")))
            probes += !line.starts_with("> ") && line.ends_with(" probe") ? 1 : 0;
        return probes;
    }

    // Stops raw_server; returns how many requests it says it served.
    double StopRawServer()
    {
        raw->Signal(SIGTERM);
        EXPECT_EQ(raw->WaitForExit(10s), 0) << raw->Err();
        return Field(raw->Out(), "served");
    }

    PrivateNetwork network;
    TempFolder folder;
    std::unique_ptr<ChildProgram> raw;
};

TEST_F(LoadBenchmarkTest, EveryRequestAndEveryFannedOutReplyIsCountedAndLogged)
{
    ASSERT_NO_FATAL_FAILURE(StartRawServer({"--fanout", "3"}));

    // The last of three clients sends 300 requests, paced as asked; each comes back to all three.
    const auto threeClients = [](const std::string& pace, const std::string& value) {
        return Load({"--clients", "3", "--senders", "1", "--expect", "3", "--count", "300", pace, value, "--seconds",
                     "20", "--template", "p{i}|x|msg|hi"});
    };
    const std::string full = threeClients("--window", "8");
    EXPECT_EQ(Field(full, "sent"), 300) << full;
    EXPECT_EQ(Field(full, "received"), 900) << full;
    EXPECT_EQ(Field(full, "answered"), 300) << full;
    EXPECT_EQ(Field(full, "lost"), 0) << full;
    EXPECT_GT(Field(full, "p50_us"), 0) << full;
    EXPECT_LE(Field(full, "p50_us"), Field(full, "p99_us")) << full;
    EXPECT_LE(Field(full, "p99_us"), Field(full, "p999_us")) << full;

    // At 3,000 a second, 300 requests cannot go out in much less than a tenth of a second.
    const std::string paced = threeClients("--rate", "3000");
    EXPECT_EQ(Field(paced, "sent"), 300) << paced;
    EXPECT_EQ(Field(paced, "answered"), 300) << paced;
    EXPECT_EQ(Field(paced, "lost"), 0) << paced;
    EXPECT_GE(Field(paced, "seconds"), 0.09) << paced;

    const std::size_t probes = ProbesServed();
    ASSERT_GE(probes, 1u);
    EXPECT_EQ(StopRawServer(), 600 + probes);

    // One line per datagram received and one per datagram sent, the sender's index put in;
    // the probes came first.
    const std::vector<std::string> lines = Lines(ReadBytes(folder / "raw-traffic.txt"));
    ASSERT_EQ(lines.size(), (600 + probes) * 4);
    const std::size_t first = probes * 4;
    EXPECT_EQ(lines[first].substr(0, 11), "127.0.1.3: ") << lines[first];
    EXPECT_NE(lines[first].find(" p2|x|msg|hi"), std::string::npos) << lines[first];
    EXPECT_NE(lines[first + 1].find(" para: 127.0.1.1 p2|x|msg|hi"), std::string::npos) << lines[first + 1];
    EXPECT_NE(lines[first + 3].find(" para: 127.0.1.3 p2|x|msg|hi"), std::string::npos) << lines[first + 3];
}

TEST_F(LoadBenchmarkTest, RepliesThatNeverComeAreCountedLostAndTheRunStillEnds)
{
    // Nothing listens on the server port: every request is lost, once the timeout has passed.
    const auto start = std::chrono::steady_clock::now();
    const std::string report =
        Load({"--count", "5", "--window", "5", "--timeout-ms", "200", "--seconds", "5", "--template", "p{i}|x|fc+|"});
    EXPECT_EQ(Field(report, "sent"), 5) << report;
    EXPECT_EQ(Field(report, "received"), 0) << report;
    EXPECT_EQ(Field(report, "answered"), 0) << report;
    EXPECT_EQ(Field(report, "lost"), 5) << report;
    EXPECT_EQ(Field(report, "late"), 5) << report;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

    const auto bad = RunProgram({LOBBY_LOADGEN_PATH, "--count", "0", "--template", "x"}, 10s);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--count"), std::string::npos) << bad.err;
}

TEST_F(LoadBenchmarkTest, RawServerRewritesTheRegistryForEveryRequestWhenAsked)
{
    const std::string registry = ",Nick,Senha,Ip,Pontos,,\r\n,p0,x,127.0.1.1,5,-,\r\n";
    {
        std::ofstream out(folder / "cadastro.txt", std::ios::binary);
        out << registry;
    }
    ASSERT_NO_FATAL_FAILURE(StartRawServer({"--save", (folder / "cadastro.txt").string()}));
    const std::string report = Load({"--count", "3", "--window", "1", "--seconds", "20", "--template", "p{i}|x|scj|1"});
    EXPECT_EQ(Field(report, "answered"), 3) << report;
    EXPECT_EQ(StopRawServer(), 3 + ProbesServed());
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), registry);
    EXPECT_FALSE(std::filesystem::exists(folder / "cadastro.txt.tmp"));
}

} // namespace
