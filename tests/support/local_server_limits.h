#pragma once

// What one client may cost the console's local server, checked the same way on every system:
// each system's test gives a client end of its own (a socket, a pipe) and its loop. Header
// only, so that the Windows tests take it without the POSIX helpers beside it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/event_loop.h"
#include "platform/local_server.h"
#include "tests/support/pump.h"

namespace test_support {

// The client's side of one connection, never blocking the thread the server's loop runs on.
class LocalClientEnd {
public:
    virtual ~LocalClientEnd() = default;
    // Tries to connect; false while every place is taken (the caller tries again).
    virtual bool Connect() = 0;
    // Starts sending bytes; what the system does not take at once goes on meanwhile.
    virtual void Send(std::string_view bytes) = 0;
    // Takes what arrived into received; true once the server has closed the connection.
    virtual bool Closed() = 0;
    std::string received;
};
using LocalClientMaker = std::function<std::unique_ptr<LocalClientEnd>(const std::string& path)>;

// Dispatches the loop until done() holds, for at most boundMs; returns done(). The bound is
// generous: nothing here waits for it on a machine that works.
inline bool PumpLocalUntil(lobby::EventLoop& loop, const std::function<bool()>& done, int boundMs = 30000)
{
    return PumpUntil(loop, done, boundMs);
}

// The console's limits as it is made (8 clients, 8 KiB requests), with timeouts short enough
// for a test; path + a number names each case's server.
inline lobby::LocalServerOptions LimitedOptions(const std::string& path)
{
    lobby::LocalServerOptions options;
    options.path = path;
    options.requestTimeoutMs = 300;
    options.replyTimeoutMs = 300;
    options.sweepIntervalMs = 20;
    options.maxAcceptsPerSecond = 5000; // out of the way here: the rate has its own check
    options.busyAnswer = "busy\n";
    options.tooLongAnswer = "too long\n";
    return options;
}

// Serves "big" with an answer far larger than any pipe or socket buffer, anything else with
// the request's length.
inline lobby::LocalServer::RequestHandler AnsweringHandler(std::vector<std::string>& seen)
{
    return [&seen](std::string request, lobby::LocalAnswer answer) {
        seen.push_back(request);
        answer.Send(request == "big" ? std::string(4 << 20, 'a') : "answer " + std::to_string(request.size()) + "\n");
    };
}

// Clients over the limit told busy, the longest request served and one byte more refused
// unread, idle and slow clients and one that does not read its answer closed, each counted.
inline void CheckLocalServerLimits(lobby::EventLoop& loop, const std::string& path, const LocalClientMaker& make)
{
    const lobby::LocalServerOptions defaults;
    const std::size_t longest = defaults.maxRequestBytes;
    struct Case {
        const char* name;
        int holders;         // silent clients that take places first
        std::string request; // sent at once by the client under test
        bool dribbles;       // then one byte more every 10 ms, never a line end
        bool reads;          // whether it reads its answer
        std::string answer;  // all it gets before the close, when it reads
        lobby::LocalServerCounters counters;
        std::size_t handled; // requests the lobby was given
    };
    const Case cases[] = {
        {"one client over the limit is told busy", defaults.maxClients, "status\n", false, true, "busy\n",
         {.accepted = 8, .busy = 1, .tooLong = 0, .timedOut = 8}, 0},
        {"the longest request is served", 0, std::string(longest, 'x') + "\n", false, true,
         "answer " + std::to_string(longest) + "\n", {.accepted = 1}, 1},
        {"a byte longer is refused unread", 0, std::string(longest + 1, 'x') + "\n", false, true, "too long\n",
         {.accepted = 1, .tooLong = 1}, 0},
        {"an idle client is closed", 0, "", false, true, "", {.accepted = 1, .timedOut = 1}, 0},
        {"a slow client's bytes do not put its deadline off", 0, "sta", true, true, "", {.accepted = 1, .timedOut = 1}, 0},
        {"a client that does not read its answer is closed", 0, "big\n", false, false, "", {.accepted = 1, .timedOut = 1}, 1},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> seen;
        lobby::LocalServer server(loop, LimitedOptions(path + std::to_string(++number)), AnsweringHandler(seen));
        const std::string& at = server.Path();
        std::vector<std::unique_ptr<LocalClientEnd>> holders;
        for (int i = 0; i < c.holders; ++i) {
            holders.push_back(make(at));
            ASSERT_TRUE(PumpLocalUntil(loop, [&] { return holders.back()->Connect(); }));
        }
        ASSERT_TRUE(PumpLocalUntil(loop, [&] { return server.Clients() == c.holders; }));
        const std::unique_ptr<LocalClientEnd> client = make(at);
        ASSERT_TRUE(PumpLocalUntil(loop, [&] { return client->Connect(); }));
        client->Send(c.request);
        auto lastByte = std::chrono::steady_clock::now();
        const auto done = [&] {
            if (c.dribbles && std::chrono::steady_clock::now() - lastByte >= std::chrono::milliseconds(10)) {
                client->Send("t");
                lastByte = std::chrono::steady_clock::now();
            }
            bool holdersClosed = true;
            for (const auto& holder : holders)
                holdersClosed = holder->Closed() && holdersClosed;
            return holdersClosed && server.Clients() == 0 && (!c.reads || client->Closed()) &&
                   server.Counters().timedOut == c.counters.timedOut;
        };
        ASSERT_TRUE(PumpLocalUntil(loop, done)) << "clients left: " << server.Clients();
        if (c.reads) {
            EXPECT_EQ(client->received, c.answer);
        }
        for (const auto& holder : holders)
            EXPECT_EQ(holder->received, "");
        const lobby::LocalServerCounters& counters = server.Counters();
        EXPECT_EQ(counters.accepted, c.counters.accepted);
        EXPECT_EQ(counters.busy, c.counters.busy);
        EXPECT_EQ(counters.tooLong, c.counters.tooLong);
        EXPECT_EQ(seen.size(), c.handled);
    }
}

// Connections are taken no faster than the allowance: eight clients at once at two a sweep
// need three sweeps after the first two, and every one of them is served in the end. Timers
// never fire early, so a slow machine only lengthens the run; a little slack stands for a
// system clock coarser than the test's.
inline void CheckLocalServerRate(lobby::EventLoop& loop, const std::string& path, const LocalClientMaker& make)
{
    lobby::LocalServerOptions options = LimitedOptions(path);
    options.requestTimeoutMs = 20000; // the waiting ones must not time out meanwhile
    options.sweepIntervalMs = 200;
    options.maxAcceptsPerSecond = 10; // two a sweep
    constexpr int kClients = 8;
    std::vector<std::string> seen;
    lobby::LocalServer server(loop, options, AnsweringHandler(seen));
    std::vector<std::unique_ptr<LocalClientEnd>> clients;
    std::vector<bool> sent(kClients, false);
    for (int i = 0; i < kClients; ++i)
        clients.push_back(make(path));
    const auto start = std::chrono::steady_clock::now();
    const auto allAnswered = [&] {
        bool all = true;
        for (int i = 0; i < kClients; ++i) {
            if (!sent[i] && clients[i]->Connect()) {
                clients[i]->Send("status\n");
                sent[i] = true;
            }
            all = sent[i] && clients[i]->Closed() && all;
        }
        return all;
    };
    ASSERT_TRUE(PumpLocalUntil(loop, allAnswered));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    for (const auto& client : clients)
        EXPECT_EQ(client->received, "answer 6\n");
    EXPECT_EQ(server.Counters().accepted, static_cast<std::uint64_t>(kClients));
    EXPECT_EQ(server.Counters().busy, 0u);
    const int sweepsNeeded = kClients / 2 - 1;
    EXPECT_GE(took.count(), sweepsNeeded * options.sweepIntervalMs - options.sweepIntervalMs / 4)
        << "eight clients were taken faster than two a sweep";
}

} // namespace test_support
