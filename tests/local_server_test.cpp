// The control socket's server side: what a client may cost it, and that answers get out whole.
#include <filesystem>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/epoll_event_loop.h"
#include "platform/exception.h"
#include "platform/posix/file_descriptor.h"
#include "platform/local_server.h"
#include "support/loopback.h"
#include "support/stream_client.h"
#include "support/temp_folder.h"

namespace {

using namespace lobby;
using test_support::PumpUntil;

using Client = test_support::StreamClient;

struct Served : testing::Test {
    Served()
    {
        options.path = (folder / "s.sock").string();
        options.maxClients = 2;
        options.maxRequestBytes = 64;
        options.requestTimeoutMs = 100;
        options.replyTimeoutMs = 100;
        options.sweepIntervalMs = 20;
        options.busyAnswer = "busy\n";
        options.tooLongAnswer = "too long\n";
    }
    TempFolder folder;
    EpollEventLoop loop;
    LocalServerOptions options;
};

TEST_F(Served, SilentFloodingAndSurplusClientsAreClosedWithoutARequest)
{
    std::vector<std::string> requests;
    LocalServer server(loop, options, [&](std::string request, LocalAnswer answer) {
        requests.push_back(request);
        answer.Send("answer to " + request + "\n");
    });
    Client silent(options.path);
    Client silentToo(options.path);
    ASSERT_TRUE(PumpUntil(loop, [&] { return server.Clients() == 2; }));
    Client surplus(options.path);
    ASSERT_TRUE(PumpUntil(loop, [&] { return surplus.Closed(); }));
    EXPECT_EQ(surplus.received, "busy\n");
    ASSERT_TRUE(PumpUntil(loop, [&] { return silent.Closed() && silentToo.Closed(); }));
    EXPECT_EQ(silent.received + silentToo.received, "");

    Client flooding(options.path);
    flooding.Send(std::string(1 << 20, 'x')); // as much of a megabyte as the socket takes
    ASSERT_TRUE(PumpUntil(loop, [&] { return flooding.Closed(); }));
    EXPECT_EQ(flooding.received, "too long\n");
    EXPECT_EQ(server.Counters().busy, 1u);
    EXPECT_EQ(server.Counters().timedOut, 2u);
    EXPECT_EQ(server.Counters().tooLong, 1u);
    EXPECT_TRUE(requests.empty());

    Client asking(options.path);
    asking.Send("status\r\nignored after the line");
    ASSERT_TRUE(PumpUntil(loop, [&] { return asking.Closed(); }));
    EXPECT_EQ(asking.received, "answer to status\n");
    EXPECT_EQ(requests, std::vector<std::string>{"status"});
}

TEST_F(Served, ALargeAnswerGetsOutWholeToAClientThatReadsLate)
{
    const std::string large(4 << 20, 'a');
    std::optional<LocalAnswer> later;
    LocalServer server(loop, options, [&](std::string, LocalAnswer answer) { later = answer; });
    Client client(options.path);
    client.Send("who\n");
    ASSERT_TRUE(PumpUntil(loop, [&] { return later.has_value(); }));
    test_support::PumpFor(loop, 200); // the lobby works for longer than the timeouts: no deadline
    ASSERT_TRUE(later->Pending());
    later->Send(large); // far more than the socket takes at once
    ASSERT_TRUE(PumpUntil(loop, [&] { return client.Closed(); }, 10000));
    EXPECT_EQ(client.received.size(), large.size());
    EXPECT_EQ(server.Clients(), 0);
}

TEST_F(Served, AStaleSocketIsReplacedAndALiveOneRefused)
{
    {
        const LocalServer first(loop, options, [](std::string, LocalAnswer) {});
        EXPECT_THROW(LocalServer(loop, options, [](std::string, LocalAnswer) {}), Exception);
    }
    EXPECT_FALSE(std::filesystem::exists(options.path)); // removed at the end
    // A killed server leaves its socket file behind, which nobody listens on.
    FileDescriptor stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    options.path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const LocalServer second(loop, options, [](std::string, LocalAnswer) {});
    EXPECT_EQ(std::filesystem::status(options.path).permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

} // namespace
