#include "platform/linux/stream_connection_server.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <vector>

namespace lobby {

namespace {

// Connections taken from the backlog in one go, so that a burst of them cannot keep the loop
// from its other work; the allowance of a sweep, where there is one, bounds them further.
constexpr int kAcceptsAtOnce = 16;

// A refusal is one short answer into an empty socket buffer, which takes it whole; should it
// not, the client gets less of it and nothing waits.
void SendRefusal(int fd, const std::string& answer)
{
    if (answer.empty())
        return;
    [[maybe_unused]] const ssize_t sent = ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

} // namespace

StreamConnectionServer::StreamConnectionServer(EventLoop& loop, FileDescriptor listener, StreamServerLimits limits,
                                               StreamServerTally tally, Framing framing, RequestHandler onRequest)
    : loop_(loop), listener_(std::move(listener)), limits_(std::move(limits)), tally_(tally), framing_(std::move(framing)),
      onRequest_(std::move(onRequest))
{
    acceptsLeft_ = AcceptsPerSweep();
    WatchListener();
}

StreamConnectionServer::~StreamConnectionServer()
{
    sweepTimer_.reset();
    acceptWatch_.reset();
    connections_.clear();
}

// Without an allowance the count stays below 0: it is never used up.
int StreamConnectionServer::AcceptsPerSweep() const
{
    if (limits_.maxAcceptsPerSecond <= 0)
        return -1;
    return std::max(1, limits_.maxAcceptsPerSecond * limits_.sweepIntervalMs / 1000);
}

void StreamConnectionServer::WatchListener()
{
    acceptWatch_ = loop_.WatchReadable(listener_.Get(), [this] { AcceptWaiting(); });
}

void StreamConnectionServer::AcceptWaiting()
{
    for (int i = 0; i < kAcceptsAtOnce; ++i) {
        if (acceptsLeft_ == 0) {
            // Left in the system's queue until the next sweep; the watch would fire at once
            // again while the queue holds anyone.
            acceptWatch_.reset();
            acceptPaused_ = true;
            KeepSweeping();
            return;
        }
        FileDescriptor client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!client.IsOpen())
            return; // none left (EAGAIN), or one that went away before it was taken
        if (acceptsLeft_ > 0)
            --acceptsLeft_;
        Take(std::move(client));
    }
}

// Serves a client just taken, or tells it all places are taken.
void StreamConnectionServer::Take(FileDescriptor client)
{
    if (Clients() >= limits_.maxClients) {
        ++tally_.busy;
        SendRefusal(client.Get(), limits_.busyAnswer);
        return;
    }
    ++tally_.accepted;
    auto connection = std::make_shared<StreamConnection>();
    connection->fd = std::move(client);
    connection->deadlineMs = clock_.NowMs() + limits_.requestTimeoutMs;
    const std::weak_ptr<StreamConnection> weak = connection;
    connection->watch = loop_.WatchReadable(connection->fd.Get(), [this, weak] {
        if (const auto alive = weak.lock())
            Read(alive);
    });
    connections_.push_back(std::move(connection));
    KeepSweeping();
}

void StreamConnectionServer::Read(const std::shared_ptr<StreamConnection>& connection)
{
    char buffer[4096];
    const std::size_t room = limits_.maxRequestBytes + 1 - connection->bytes.size();
    const ssize_t got = ::recv(connection->fd.Get(), buffer, std::min(sizeof buffer, room), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got > 0)
        connection->bytes.append(buffer, static_cast<std::size_t>(got));
    std::optional<std::string> request = framing_(connection->bytes, got == 0);
    if (!request) {
        if (connection->bytes.size() > limits_.maxRequestBytes) {
            ++tally_.tooLong;
            Answer(connection, limits_.tooLongAnswer);
        } else if (got <= 0) {
            Close(connection); // gone (or failed) before its request ended: nobody to answer
        }
        return;
    }
    connection->bytes.clear();
    connection->state = StreamConnection::State::Working;
    connection->watch.reset(); // nothing more is read from this client
    onRequest_(connection, std::move(*request));
}

void StreamConnectionServer::Answer(const std::shared_ptr<StreamConnection>& connection, std::string text)
{
    if (connection->state == StreamConnection::State::Writing)
        return;
    connection->watch.reset();
    connection->state = StreamConnection::State::Writing;
    connection->bytes = std::move(text);
    connection->written = 0;
    connection->deadlineMs = clock_.NowMs() + limits_.replyTimeoutMs;
    Write(connection);
}

void StreamConnectionServer::Write(const std::shared_ptr<StreamConnection>& connection)
{
    while (connection->written < connection->bytes.size()) {
        const ssize_t sent = ::send(connection->fd.Get(), connection->bytes.data() + connection->written,
                                    connection->bytes.size() - connection->written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!connection->watch) {
                const std::weak_ptr<StreamConnection> weak = connection;
                connection->watch = loop_.WatchWritable(connection->fd.Get(), [this, weak] {
                    if (const auto alive = weak.lock())
                        Write(alive);
                });
            }
            return;
        }
        if (sent <= 0)
            break; // the client went away: its answer goes nowhere
        connection->written += static_cast<std::size_t>(sent);
        connection->deadlineMs = clock_.NowMs() + limits_.replyTimeoutMs;
    }
    // The answer is whole: the client reads it up to the end of the connection.
    ::shutdown(connection->fd.Get(), SHUT_WR);
    Close(connection);
}

void StreamConnectionServer::Close(const std::shared_ptr<StreamConnection>& connection)
{
    connection->watch.reset();
    connections_.remove(connection);
    if (connections_.empty() && !acceptPaused_ && acceptsLeft_ == AcceptsPerSweep())
        sweepTimer_.reset();
}

void StreamConnectionServer::KeepSweeping()
{
    if (!sweepTimer_)
        sweepTimer_ = loop_.StartTimer(limits_.sweepIntervalMs, [this] { Sweep(); });
}

// A client the owner is working for has no deadline: its answer comes when the work is done.
void StreamConnectionServer::Sweep()
{
    acceptsLeft_ = AcceptsPerSweep();
    if (acceptPaused_) {
        acceptPaused_ = false;
        WatchListener();
    }
    const std::int64_t now = clock_.NowMs();
    std::vector<std::shared_ptr<StreamConnection>> late;
    for (const auto& connection : connections_) {
        if (connection->state != StreamConnection::State::Working && now >= connection->deadlineMs)
            late.push_back(connection);
    }
    for (const auto& connection : late) {
        ++tally_.timedOut;
        if (connection->state == StreamConnection::State::Reading)
            SendRefusal(connection->fd.Get(), limits_.timeoutAnswer);
        Close(connection);
    }
    if (connections_.empty())
        sweepTimer_.reset(); // the allowance is whole again: nothing to look at until a client comes
}

} // namespace lobby
