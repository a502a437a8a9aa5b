// The connection core both stream servers stand on (the console's socket, the figures' TCP
// port), over a loopback listener of the test's own: where a request ends, what a client
// that never ends one is told, and answers that come late or to nobody.
#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/epoll_event_loop.h"
#include "platform/linux/stream_connection_server.h"
#include "platform/local_server.h"
#include "support/loopback.h"
#include "support/stream_client.h"
#include "support/temp_folder.h"

namespace {

using namespace lobby;
using test_support::PumpUntil;
using Client = test_support::StreamClient;

// A listening socket on 127.0.0.1, a port the system picks.
FileDescriptor LoopbackListener(int& port)
{
    FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener.Get(), 8), 0);
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return listener;
}

// A line ends a request; a last line without its end counts once the client closed its side.
std::optional<std::string> Line(const std::string& bytes, bool clientClosed)
{
    const std::size_t end = bytes.find('\n');
    if (end != std::string::npos)
        return bytes.substr(0, end);
    if (clientClosed && !bytes.empty())
        return bytes;
    return std::nullopt;
}

struct Counts {
    std::uint64_t accepted = 0, busy = 0, tooLong = 0, timedOut = 0;
};

// One core on its own listener; requests are answered at once unless hold is set, when the
// connections wait in held.
struct CoreUnderTest {
    explicit CoreUnderTest(EventLoop& loop, bool hold = false)
    {
        StreamServerLimits limits{1, 64, 100, 100, 20, 0, "busy\n", "too long\n", "late\n"};
        server = std::make_unique<StreamConnectionServer>(
            loop, LoopbackListener(port), limits,
            StreamServerTally{counts.accepted, counts.busy, counts.tooLong, counts.timedOut}, Line,
            [this, hold](const std::shared_ptr<StreamConnection>& connection, std::string request) {
                requests.push_back(request);
                if (hold)
                    held.push_back(connection);
                else
                    server->Answer(connection, "answer:" + request);
            });
    }
    int port = 0;
    Counts counts;
    std::vector<std::string> requests;
    std::vector<std::shared_ptr<StreamConnection>> held;
    std::unique_ptr<StreamConnectionServer> server;
};

TEST(StreamConnectionCore, EachWayARequestEndsOrDoesNot)
{
    const struct {
        const char* name;
        std::string sent;
        bool closesItsSide;
        std::vector<std::string> requests;
        std::string received;
        std::uint64_t tooLong, timedOut;
    } cases[] = {
        {"a whole line; what follows it is not read", "hi\nmore", false, {"hi"}, "answer:hi", 0, 0},
        {"a last line ended by the client's close", "bye", true, {"bye"}, "answer:bye", 0, 0},
        {"nothing, then the close", "", true, {}, "", 0, 0},
        {"over the limit without an end", std::string(65, 'x'), false, {}, "too long\n", 1, 0},
        {"silent past the request's time", "half a li", false, {}, "late\n", 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EpollEventLoop loop;
        CoreUnderTest core(loop);
        Client client(core.port);
        client.Send(c.sent);
        if (c.closesItsSide)
            ::shutdown(client.fd.Get(), SHUT_WR);
        ASSERT_TRUE(PumpUntil(loop, [&] { return client.Closed(); }, 30000));
        EXPECT_EQ(client.received, c.received);
        EXPECT_EQ(core.requests, c.requests);
        EXPECT_EQ(core.counts.accepted, 1u);
        EXPECT_EQ(core.counts.tooLong, c.tooLong);
        EXPECT_EQ(core.counts.timedOut, c.timedOut);
        EXPECT_EQ(core.server->Clients(), 0);
    }
}

TEST(StreamConnectionCore, AHeldRequestHasNoDeadlineKeepsItsPlaceAndMayFindNobody)
{
    EpollEventLoop loop;
    CoreUnderTest core(loop, true);
    Client first(core.port);
    first.Send("slow\n");
    ASSERT_TRUE(PumpUntil(loop, [&] { return core.held.size() == 1; }, 30000));
    Client second(core.port); // the one place is taken while the owner works
    ASSERT_TRUE(PumpUntil(loop, [&] { return second.Closed(); }, 30000));
    EXPECT_EQ(second.received, "busy\n");
    test_support::PumpFor(loop, 250); // longer than every timeout: a held request has none
    EXPECT_EQ(core.counts.timedOut, 0u);
    core.server->Answer(core.held[0], "done");
    core.server->Answer(core.held[0], "again"); // only the first answer counts
    ASSERT_TRUE(PumpUntil(loop, [&] { return first.Closed(); }, 30000));
    EXPECT_EQ(first.received, "done");

    // An answer whose client has gone goes nowhere, and its place is free again.
    Client leaving(core.port);
    leaving.Send("bye\n");
    ASSERT_TRUE(PumpUntil(loop, [&] { return core.held.size() == 2; }, 30000));
    leaving.fd.Close();
    core.server->Answer(core.held[1], std::string(1 << 20, 'a'));
    ASSERT_TRUE(PumpUntil(loop, [&] { return core.server->Clients() == 0; }, 30000));
    EXPECT_EQ(core.counts.busy, 1u);
}

TEST(StreamConnectionCore, ALocalAnswerKeptPastItsServerDoesNothing)
{
    TempFolder folder;
    EpollEventLoop loop;
    LocalServerOptions options;
    options.path = (folder / "s.sock").string();
    std::optional<LocalAnswer> kept;
    auto server = std::make_unique<LocalServer>(loop, options, [&](std::string, LocalAnswer answer) { kept = answer; });
    Client client(options.path);
    client.Send("status\n");
    ASSERT_TRUE(PumpUntil(loop, [&] { return kept.has_value(); }, 30000));
    EXPECT_TRUE(kept->Pending());
    server.reset();
    EXPECT_FALSE(kept->Pending());
    kept->Send("too late"); // nothing to reach: no crash, nothing sent
    ASSERT_TRUE(client.Closed());
    EXPECT_EQ(client.received, "");
}

} // namespace
