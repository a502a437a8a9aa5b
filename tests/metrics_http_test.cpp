// The figures over HTTP on the lobby's loop: what each request gets, and what a client may cost.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/linux/epoll_event_loop.h"
#include "platform/posix/file_descriptor.h"
#include "platform/tcp_server.h"
#include "server/console/metrics_http.h"
#include "support/loopback.h"
#include "support/stream_client.h"

namespace {

using namespace lobby;
using test_support::PumpUntil;
using testing::HasSubstr;
using testing::StartsWith;

using Client = test_support::StreamClient;

struct MetricsOverHttp : testing::Test {
    MetricsOverHttp()
    {
        options.maxClients = 2;
        options.maxRequestBytes = 256;
        options.requestTimeoutMs = 100;
        options.replyTimeoutMs = 100;
        options.sweepIntervalMs = 20;
        options.busyAnswer = metrics_http::Busy();
        options.tooLongAnswer = metrics_http::TooLong();
        options.timeoutAnswer = metrics_http::TimedOut();
    }
    std::string Metrics() { return "lobby_players_online 3\n"; }
    EpollEventLoop loop;
    TcpServerOptions options;
};

TEST(MetricsAnswer, EachRequestGetsItsStatus)
{
    const auto metrics = [] { return std::string("lobby_up 1\n"); };
    const std::pair<std::string, std::string> cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4"},
        {"GET /metrics?x=1 HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
        {"POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n"},
        {"hello\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET /metrics SMTP\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
    };
    for (const auto& [request, start] : cases)
        EXPECT_THAT(metrics_http::Answer(request, metrics), StartsWith(start)) << request;
    EXPECT_THAT(metrics_http::Answer(cases[0].first, metrics), testing::EndsWith("Content-Length: 11\r\nConnection: close\r\n\r\nlobby_up 1\n"));
    EXPECT_THAT(metrics_http::Answer("HEAD /metrics HTTP/1.1\r\n\r\n", metrics), testing::EndsWith("\r\n\r\n"));
}

TEST_F(MetricsOverHttp, ServesAScrapeAndBoundsWhatClientsCost)
{
    TcpServer server(loop, options, [&](const std::string& request) {
        return metrics_http::Answer(request, [&] { return Metrics(); });
    });
    ASSERT_GT(server.Port(), 0);

    Client scrape(server.Port());
    scrape.Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/plain\r\n\r\n");
    ASSERT_TRUE(PumpUntil(loop, [&] { return scrape.Closed(); }, 10000));
    EXPECT_THAT(scrape.received, StartsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_THAT(scrape.received, testing::EndsWith("\r\n\r\nlobby_players_online 3\n"));

    // Two slow clients hold the places; a third is told so at once; the slow ones are timed out.
    Client slow(server.Port());
    slow.Send("GET /metr");
    Client silent(server.Port());
    ASSERT_TRUE(PumpUntil(loop, [&] { return server.Clients() == 2; }, 10000));
    Client surplus(server.Port());
    ASSERT_TRUE(PumpUntil(loop, [&] { return surplus.Closed(); }, 10000));
    EXPECT_THAT(surplus.received, StartsWith("HTTP/1.1 503 Service Unavailable\r\n"));
    ASSERT_TRUE(PumpUntil(loop, [&] { return slow.Closed() && silent.Closed(); }, 10000));
    EXPECT_THAT(slow.received, StartsWith("HTTP/1.1 408 Request Timeout\r\n"));

    Client flooding(server.Port());
    flooding.Send(std::string(4096, 'x'));
    ASSERT_TRUE(PumpUntil(loop, [&] { return flooding.Closed(); }, 10000));
    EXPECT_THAT(flooding.received, StartsWith("HTTP/1.1 431 "));

    EXPECT_EQ(server.Counters().served, 1u);
    EXPECT_EQ(server.Counters().busy, 1u);
    EXPECT_EQ(server.Counters().timedOut, 2u);
    EXPECT_EQ(server.Counters().tooLong, 1u);
    EXPECT_EQ(server.Clients(), 0);
}

TEST_F(MetricsOverHttp, AnAddressTakenOrForeignIsRefusedNamingIt)
{
    const TcpServer first(loop, options, [](const std::string&) { return std::string(); });
    options.port = first.Port();
    EXPECT_THROW(TcpServer(loop, options, [](const std::string&) { return std::string(); }), Exception);
    options.address = "localhost";
    try {
        TcpServer(loop, options, [](const std::string&) { return std::string(); });
        ADD_FAILURE() << "listened on localhost";
    } catch (const Exception& error) {
        EXPECT_THAT(error.Message(), HasSubstr("localhost:"));
    }
}

} // namespace
