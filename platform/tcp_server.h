#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/event_loop.h"
#include "platform/exception.h"

namespace lobby {

// How much a client of a TcpServer may cost. A client is served one request: bytes in up to
// requestEnd, one answer out, then the connection closes.
struct TcpServerOptions {
    std::string address = "127.0.0.1"; // a dotted IPv4 address to listen on
    int port = 0;                       // 0: one the system picks (Port() tells it)
    int maxClients = 4;                 // connections served at once; more are refused at once
    std::size_t maxRequestBytes = 4096; // a request longer than this is refused unread
    std::string requestEnd = "\r\n\r\n"; // where a request ends (an HTTP request's head)
    int requestTimeoutMs = 5000;        // from the connection to the end of its request
    int replyTimeoutMs = 5000;          // an answer that makes no way into the socket this long
    int sweepIntervalMs = 250;          // how often the timeouts are looked at
    // What a refused client is sent before its connection closes: all places taken, a
    // request over maxRequestBytes, one that did not end in time.
    std::string busyAnswer;
    std::string tooLongAnswer;
    std::string timeoutAnswer;
};

// What the clients did since the server was made.
struct TcpServerCounters {
    std::uint64_t served = 0;
    std::uint64_t busy = 0;
    std::uint64_t tooLong = 0;
    std::uint64_t timedOut = 0;
};

// A TCP listening socket on the lobby's loop that serves small requests with answers made at
// once (the figures for a monitoring system). It never holds the loop up: every descriptor
// is non-blocking, a request is read only up to maxRequestBytes, at most maxClients are
// served at once (the ones after are told so and closed), and a client that does not finish
// its request, or does not read its answer, is closed after its timeout.
class TcpServer {
public:
    // Makes the answer to one whole request (requestEnd included).
    using RequestHandler = std::function<std::string(const std::string& request)>;

    // Binds options.address:options.port and listens. Raises Exception naming the address
    // when it cannot (taken, not this machine's, not supported on this system).
    TcpServer(EventLoop& loop, TcpServerOptions options, RequestHandler onRequest);
    ~TcpServer(); // closes every connection
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    int Port() const;
    int Clients() const;
    const TcpServerCounters& Counters() const;

    // The system's own part: the sockets.
    class Core;

private:
    std::unique_ptr<Core> core_;
};

} // namespace lobby
