#include "platform/tcp_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <list>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

#include "platform/monotonic_clock.h"
#include "platform/posix/file_descriptor.h"

namespace lobby {

namespace {

// Connections taken from the backlog in one go, so that a burst of them cannot keep the loop
// from its other work.
constexpr int kAcceptsAtOnce = 16;

struct Connection {
    enum class State { Reading, Writing };
    FileDescriptor fd;
    State state = State::Reading;
    std::string bytes;       // the request read so far, then the answer
    std::size_t written = 0; // of the answer
    std::int64_t deadlineMs = 0;
    // Declared after fd, so the loop stops watching before the descriptor closes.
    std::unique_ptr<EventLoop::Registration> watch;
};

} // namespace

class TcpServer::Core {
public:
    Core(EventLoop& loop, TcpServerOptions options, RequestHandler onRequest);

    int port = 0;
    TcpServerCounters counters;
    std::list<std::shared_ptr<Connection>> connections;

private:
    void AcceptWaiting();
    void Read(const std::shared_ptr<Connection>& connection);
    void Answer(const std::shared_ptr<Connection>& connection, std::string text);
    void Write(const std::shared_ptr<Connection>& connection);
    void Close(const std::shared_ptr<Connection>& connection);
    void Sweep();

    EventLoop& loop_;
    TcpServerOptions options_;
    RequestHandler onRequest_;
    SystemMonotonicClock clock_;
    FileDescriptor listener_;
    // Declared last: they stop before what their callbacks use goes.
    std::unique_ptr<EventLoop::Registration> acceptWatch_;
    std::unique_ptr<EventLoop::Registration> sweepTimer_; // only while a client is connected
};

TcpServer::Core::Core(EventLoop& loop, TcpServerOptions options, RequestHandler onRequest)
    : loop_(loop), options_(std::move(options)), onRequest_(std::move(onRequest))
{
    const std::string where = options_.address + ":" + std::to_string(options_.port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(options_.port));
    if (::inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1)
        throw Exception("Cannot listen on " + where + ": no IPv4 address");
    listener_ = FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (!listener_.IsOpen() || ::setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.Get(), options_.maxClients) != 0)
        throw Exception("Cannot listen on " + where + ": " + std::strerror(errno));
    socklen_t length = sizeof address;
    ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    acceptWatch_ = loop_.WatchReadable(listener_.Get(), [this] { AcceptWaiting(); });
}

void TcpServer::Core::AcceptWaiting()
{
    for (int i = 0; i < kAcceptsAtOnce; ++i) {
        FileDescriptor client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!client.IsOpen())
            return; // none left (EAGAIN), or one that went away before it was taken
        if (static_cast<int>(connections.size()) >= options_.maxClients) {
            ++counters.busy;
            // One short answer into an empty socket buffer, which takes it whole.
            [[maybe_unused]] const ssize_t sent = ::send(client.Get(), options_.busyAnswer.data(),
                                                         options_.busyAnswer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            continue;
        }
        auto connection = std::make_shared<Connection>();
        connection->fd = std::move(client);
        connection->deadlineMs = clock_.NowMs() + options_.requestTimeoutMs;
        const std::weak_ptr<Connection> weak = connection;
        connection->watch = loop_.WatchReadable(connection->fd.Get(), [this, weak] {
            if (const auto alive = weak.lock())
                Read(alive);
        });
        connections.push_back(std::move(connection));
        if (!sweepTimer_)
            sweepTimer_ = loop_.StartTimer(options_.sweepIntervalMs, [this] { Sweep(); });
    }
}

void TcpServer::Core::Read(const std::shared_ptr<Connection>& connection)
{
    char buffer[4096];
    const std::size_t room = options_.maxRequestBytes + 1 - connection->bytes.size();
    const ssize_t got = ::recv(connection->fd.Get(), buffer, std::min(sizeof buffer, room), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (got <= 0) {
        Close(connection); // gone before its request ended: nobody to answer
        return;
    }
    connection->bytes.append(buffer, static_cast<std::size_t>(got));
    const std::size_t end = connection->bytes.find(options_.requestEnd);
    if (end != std::string::npos) {
        ++counters.served;
        Answer(connection, onRequest_(connection->bytes.substr(0, end + options_.requestEnd.size())));
        return;
    }
    if (connection->bytes.size() > options_.maxRequestBytes) {
        ++counters.tooLong;
        Answer(connection, options_.tooLongAnswer);
    }
}

void TcpServer::Core::Answer(const std::shared_ptr<Connection>& connection, std::string text)
{
    connection->watch.reset(); // nothing more is read from this client
    connection->state = Connection::State::Writing;
    connection->bytes = std::move(text);
    connection->written = 0;
    connection->deadlineMs = clock_.NowMs() + options_.replyTimeoutMs;
    Write(connection);
}

void TcpServer::Core::Write(const std::shared_ptr<Connection>& connection)
{
    while (connection->written < connection->bytes.size()) {
        const ssize_t sent = ::send(connection->fd.Get(), connection->bytes.data() + connection->written,
                                    connection->bytes.size() - connection->written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!connection->watch) {
                const std::weak_ptr<Connection> weak = connection;
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
        connection->deadlineMs = clock_.NowMs() + options_.replyTimeoutMs;
    }
    // The answer is whole: the client reads it up to the end of the connection.
    ::shutdown(connection->fd.Get(), SHUT_WR);
    Close(connection);
}

void TcpServer::Core::Close(const std::shared_ptr<Connection>& connection)
{
    connection->watch.reset();
    connections.remove(connection);
    if (connections.empty())
        sweepTimer_.reset();
}

void TcpServer::Core::Sweep()
{
    const std::int64_t now = clock_.NowMs();
    std::vector<std::shared_ptr<Connection>> late;
    for (const auto& connection : connections) {
        if (now >= connection->deadlineMs)
            late.push_back(connection);
    }
    for (const auto& connection : late) {
        ++counters.timedOut;
        if (connection->state == Connection::State::Reading) {
            [[maybe_unused]] const ssize_t sent = ::send(connection->fd.Get(), options_.timeoutAnswer.data(),
                                                         options_.timeoutAnswer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        Close(connection);
    }
}

TcpServer::TcpServer(EventLoop& loop, TcpServerOptions options, RequestHandler onRequest)
    : core_(std::make_unique<Core>(loop, std::move(options), std::move(onRequest)))
{
}

TcpServer::~TcpServer() = default;

int TcpServer::Port() const
{
    return core_->port;
}

int TcpServer::Clients() const
{
    return static_cast<int>(core_->connections.size());
}

const TcpServerCounters& TcpServer::Counters() const
{
    return core_->counters;
}

} // namespace lobby
