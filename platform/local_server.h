#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/event_loop.h"
#include "platform/exception.h"

namespace lobby {

// How much a client of a LocalServer may cost. A client is served one request: one line in,
// one answer out, then the connection closes.
struct LocalServerOptions {
    std::string path;                  // where the socket is made
    int maxClients = 8;                // connections served at once; more are refused at once
    std::size_t maxRequestBytes = 8192; // a request longer than this is refused unread
    int requestTimeoutMs = 5000;       // from the connection to the end of its request line
    int replyTimeoutMs = 10000;        // an answer that makes no way into the socket this long
    int sweepIntervalMs = 200;         // how often the timeouts are looked at
    // Connections taken a second, refused ones included; past it the listening socket is left
    // alone until the next sweep, and whoever connects waits in the system's queue. A client
    // that connects over and over then costs the lobby a few connections a sweep, no more.
    int maxAcceptsPerSecond = 50;
    // What a refused client is sent before its connection closes: all places taken, and a
    // request over maxRequestBytes.
    std::string busyAnswer;
    std::string tooLongAnswer;
};

// What the clients did since the server was made.
struct LocalServerCounters {
    std::uint64_t accepted = 0; // connections served
    std::uint64_t busy = 0;     // refused: maxClients were being served
    std::uint64_t tooLong = 0;  // refused: a request over maxRequestBytes
    std::uint64_t timedOut = 0; // closed: silent past requestTimeoutMs, or not reading the answer
};

// What a LocalServer's owner reads, whichever system serves it: each system's implementation
// derives from it and keeps its sockets or pipes to itself.
class LocalServerState {
public:
    explicit LocalServerState(LocalServerOptions options) : options_(std::move(options)) {}
    virtual ~LocalServerState() = default;
    LocalServerState(const LocalServerState&) = delete;
    LocalServerState& operator=(const LocalServerState&) = delete;

    // Clients being served now.
    virtual int Clients() const = 0;

    LocalServerOptions options_;
    LocalServerCounters counters_;
};

class LocalServer;
class LocalServerCore;

// The socket's path is one another running program listens on.
class LocalSocketInUse : public Exception {
public:
    using Exception::Exception;
};

// The way back to the client of one request. Cheap to copy and to keep while the lobby
// works on the answer; once the connection is gone (timed out, the server closed) Send does
// nothing.
class LocalAnswer {
public:
    // Sends the whole answer, after which the connection closes. Only the first call counts.
    void Send(std::string text) const;
    // Whether the client may still get an answer.
    bool Pending() const;

private:
    friend class LocalServerCore;
    struct Connection;
    explicit LocalAnswer(std::weak_ptr<Connection> connection) : connection_(std::move(connection)) {}
    std::weak_ptr<Connection> connection_; // knows its server while it is alive
};

// A local stream socket on the lobby's loop, through which the operator's console reaches a
// running lobby: on this system a Unix-domain socket, made with mode 0600 (only the lobby's
// own user, and root, may connect). It never holds the loop up: every descriptor is
// non-blocking, a request is read only up to maxRequestBytes, at most maxClients are served
// at once (the ones after are told so and closed), and a client that says nothing, or does
// not read its answer, is closed after its timeout. What a client sends past its request
// line is never read. Connections are taken at most maxAcceptsPerSecond a second, so that a
// client connecting in a loop cannot make the lobby spend its time accepting and refusing.
class LocalServer {
public:
    // Receives one request line (its line end taken off) and where to send its answer, now
    // or later.
    using RequestHandler = std::function<void(std::string request, LocalAnswer answer)>;

    // Makes the socket at options.path and starts listening. A socket file left there by a
    // program that no longer runs is replaced. A path another running program listens on
    // raises LocalSocketInUse; a path that is no socket, one too long for a socket's name, or
    // any failure of the system's raises Exception saying so.
    LocalServer(EventLoop& loop, LocalServerOptions options, RequestHandler onRequest);
    // Closes every connection (answers not sent are dropped) and removes the socket file.
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    const LocalServerCounters& Counters() const;
    int Clients() const;
    const std::string& Path() const;

private:
    // The sockets and the connections live in the system's own implementation, so that this
    // header names no type of the system's.
    std::unique_ptr<LocalServerState> core_;
};

} // namespace lobby
