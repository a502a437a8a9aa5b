#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "platform/event_loop.h"
#include "platform/monotonic_clock.h"
#include "platform/posix/file_descriptor.h"

namespace lobby {

// How much a client of a StreamConnectionServer may cost it.
struct StreamServerLimits {
    int maxClients = 1;              // connections served at once; more are refused at once
    std::size_t maxRequestBytes = 0; // a request longer than this is refused unread
    int requestTimeoutMs = 0;        // from the connection to the end of its request
    int replyTimeoutMs = 0;          // an answer that makes no way into the socket this long
    int sweepIntervalMs = 0;         // how often the timeouts (and the accept allowance) are looked at
    int maxAcceptsPerSecond = 0;     // 0: connections are taken as they come
    // What a refused client is sent before its connection closes: all places taken, a request
    // over maxRequestBytes, one that did not end in time (nothing when empty).
    std::string busyAnswer;
    std::string tooLongAnswer;
    std::string timeoutAnswer;
};

// Where a StreamConnectionServer counts what its clients did: into its owner's own counters,
// which the owner's interface hands out as they are.
struct StreamServerTally {
    std::uint64_t& accepted; // connections taken to be served
    std::uint64_t& busy;     // refused: maxClients were being served
    std::uint64_t& tooLong;  // refused: a request over maxRequestBytes
    std::uint64_t& timedOut; // closed: silent past the request's time, or not reading the answer
};

// One client: its request as read so far, then its answer as written so far.
struct StreamConnection {
    // Reading the request; Working: the owner has it and answers when it is ready (no
    // deadline meanwhile); Writing the answer.
    enum class State { Reading, Working, Writing };
    FileDescriptor fd;
    State state = State::Reading;
    std::string bytes;       // the request read so far, then the answer
    std::size_t written = 0; // of the answer
    std::int64_t deadlineMs = 0;
    std::shared_ptr<void> tie; // the owner's, kept exactly as long as the connection
    // Declared after fd, so the loop stops watching before the descriptor closes.
    std::unique_ptr<EventLoop::Registration> watch;
};

// The connection core of a stream socket server on the lobby's loop, over a listening
// descriptor its owner made (a Unix-domain socket, a TCP port): takes connections, reads each
// client's request up to its end, hands it on, writes the answer and closes; one request a
// connection. It never holds the loop up: every descriptor is non-blocking, a request is read
// only up to maxRequestBytes, at most maxClients are served at once (the ones after are told
// so and closed), and a client that does not finish its request, or does not read its answer,
// is closed after its timeout. With maxAcceptsPerSecond, connections past that allowance are
// left in the system's queue until the next sweep, so that a client connecting in a loop
// cannot make the lobby spend its time accepting and refusing. What a client sends past its
// request is never read.
class StreamConnectionServer {
public:
    // Finds a whole request in what a client sent so far (clientClosed: the client ended its
    // side, nothing more comes). Returns the request as the owner's handler takes it, or
    // nothing while it is not whole yet.
    using Framing = std::function<std::optional<std::string>(const std::string& bytes, bool clientClosed)>;
    // Receives a whole request; the connection waits for Answer, now or later.
    using RequestHandler = std::function<void(const std::shared_ptr<StreamConnection>& connection, std::string request)>;

    // Watches listener (non-blocking, listening) from now on, and closes it when it goes.
    StreamConnectionServer(EventLoop& loop, FileDescriptor listener, StreamServerLimits limits, StreamServerTally tally,
                           Framing framing, RequestHandler onRequest);
    // Closes every connection; answers not sent are dropped.
    ~StreamConnectionServer();
    StreamConnectionServer(const StreamConnectionServer&) = delete;
    StreamConnectionServer& operator=(const StreamConnectionServer&) = delete;

    // Sends the whole answer, after which the connection closes. Only the first call counts.
    void Answer(const std::shared_ptr<StreamConnection>& connection, std::string text);
    // Clients being served now.
    int Clients() const { return static_cast<int>(connections_.size()); }

private:
    void AcceptWaiting();
    void Take(FileDescriptor client);
    void Read(const std::shared_ptr<StreamConnection>& connection);
    void Write(const std::shared_ptr<StreamConnection>& connection);
    void Close(const std::shared_ptr<StreamConnection>& connection);
    void Sweep();
    void KeepSweeping();
    int AcceptsPerSweep() const;
    void WatchListener();

    EventLoop& loop_;
    FileDescriptor listener_;
    StreamServerLimits limits_;
    StreamServerTally tally_;
    Framing framing_;
    RequestHandler onRequest_;
    SystemMonotonicClock clock_;
    int acceptsLeft_ = 0; // until the next sweep; below 0 while there is no allowance
    bool acceptPaused_ = false;
    std::list<std::shared_ptr<StreamConnection>> connections_;
    // Declared last: they stop before what their callbacks use goes.
    std::unique_ptr<EventLoop::Registration> acceptWatch_;
    std::unique_ptr<EventLoop::Registration> sweepTimer_; // only while a client is connected or accepting waits
};

} // namespace lobby
