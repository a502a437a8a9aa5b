#include "platform/local_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/exception.h"
#include "platform/monotonic_clock.h"
#include "platform/posix/file_descriptor.h"

namespace lobby {

namespace {

// Connections taken from the backlog in one go, so that a burst of them cannot keep the
// loop from its other work; the allowance of a sweep bounds them further.
constexpr int kAcceptsAtOnce = 16;

std::string Reason(int error)
{
    return std::strerror(error);
}

// The socket address of path; raises when the path does not fit a socket's name.
sockaddr_un AddressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw Exception("The control socket " + path + " cannot be made: a socket's path takes 1 to " +
                        std::to_string(sizeof address.sun_path - 1) + " bytes (--control PATH names another)");
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

// Whether a program listens on the socket at address: a connection is taken. A socket file
// nobody listens on refuses it (a lobby that was killed leaves its socket behind).
bool SomebodyListens(const sockaddr_un& address)
{
    const FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.IsOpen())
        return false;
    return ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Clears the way for a socket at path: nothing there, or a socket left by a program that is
// gone, which is removed. Anything else raises, naming what is in the way.
void ClearStaleSocket(const std::string& path, const sockaddr_un& address)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return;
        throw Exception("The control socket " + path + " cannot be made: " + Reason(errno));
    }
    if (!S_ISSOCK(status.st_mode))
        throw Exception("The control socket " + path + " cannot be made: a file that is no socket has its name");
    if (SomebodyListens(address))
        throw LocalSocketInUse("The control socket " + path +
                               " is in use: another lobby runs with it (--control PATH names another)");
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw Exception("The control socket " + path + " cannot be made: the old one cannot be removed: " + Reason(errno));
}

} // namespace

// What a LocalServer is made of on this system: the listening socket and its connections.
class LocalServerCore : public LocalServerState {
public:
    using Connection = LocalAnswer::Connection;

    LocalServerCore(EventLoop& loop, LocalServerOptions options, LocalServer::RequestHandler onRequest);
    ~LocalServerCore();
    LocalServerCore(const LocalServerCore&) = delete;
    LocalServerCore& operator=(const LocalServerCore&) = delete;

    void Answer(const std::shared_ptr<Connection>& connection, std::string text);
    int Clients() const override { return static_cast<int>(connections_.size()); }

private:
    void AcceptWaiting();
    void Refuse(FileDescriptor client, const std::string& answer);
    void ReadRequest(const std::shared_ptr<Connection>& connection);
    void WriteAnswer(const std::shared_ptr<Connection>& connection);
    void Close(const std::shared_ptr<Connection>& connection);
    void Sweep();
    void KeepSweeping();
    int AcceptsPerSweep() const;
    void WatchListener();

    EventLoop& loop_;
    LocalServer::RequestHandler onRequest_;
    SystemMonotonicClock clock_;
    FileDescriptor listener_;
    std::uint64_t socketInode_ = 0; // the file removed at the end only while it is still ours
    int acceptsLeft_ = 0;           // until the next sweep
    bool acceptPaused_ = false;
    std::list<std::shared_ptr<Connection>> connections_;
    // Declared last: they stop before what their callbacks use goes.
    std::unique_ptr<EventLoop::Registration> acceptWatch_;
    std::unique_ptr<EventLoop::Registration> sweepTimer_; // only while a client is connected or accepting waits
};

// One client: its request as read so far, then its answer as written so far.
struct LocalAnswer::Connection {
    enum class State { Reading, Working, Writing };
    LocalServerCore* server = nullptr; // outlives every connection: it owns them
    FileDescriptor fd;
    State state = State::Reading;
    std::string bytes;       // the request read so far, then the answer
    std::size_t written = 0; // of the answer
    std::int64_t deadlineMs = 0;
    // Declared after fd, so the loop stops watching before the descriptor closes.
    std::unique_ptr<EventLoop::Registration> watch;
};

void LocalAnswer::Send(std::string text) const
{
    if (const auto connection = connection_.lock())
        connection->server->Answer(connection, std::move(text));
}

bool LocalAnswer::Pending() const
{
    const auto connection = connection_.lock();
    return connection && connection->state == Connection::State::Working;
}

LocalServer::LocalServer(EventLoop& loop, LocalServerOptions options, RequestHandler onRequest)
    : core_(std::make_unique<LocalServerCore>(loop, std::move(options), std::move(onRequest)))
{
}


LocalServerCore::LocalServerCore(EventLoop& loop, LocalServerOptions options, LocalServer::RequestHandler onRequest)
    : LocalServerState(std::move(options)), loop_(loop), onRequest_(std::move(onRequest))
{
    const sockaddr_un address = AddressOf(options_.path);
    ClearStaleSocket(options_.path, address);
    listener_ = FileDescriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener_.IsOpen())
        throw Exception("The control socket " + options_.path + " cannot be made: " + Reason(errno));
    if (::bind(listener_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw Exception("The control socket " + options_.path + " cannot be made: " + Reason(errno));
    // Its mode is set before it listens: until then every connection is refused, so nobody
    // gets in through the mode the umask gave it.
    struct stat status {};
    if (::chmod(options_.path.c_str(), 0600) != 0 || ::stat(options_.path.c_str(), &status) != 0 ||
        ::listen(listener_.Get(), options_.maxClients) != 0) {
        const int error = errno;
        ::unlink(options_.path.c_str());
        throw Exception("The control socket " + options_.path + " cannot be made: " + Reason(error));
    }
    socketInode_ = status.st_ino;
    acceptsLeft_ = AcceptsPerSweep();
    WatchListener();
}

int LocalServerCore::AcceptsPerSweep() const
{
    return std::max(1, options_.maxAcceptsPerSecond * options_.sweepIntervalMs / 1000);
}

void LocalServerCore::WatchListener()
{
    acceptWatch_ = loop_.WatchReadable(listener_.Get(), [this] { AcceptWaiting(); });
}

LocalServerCore::~LocalServerCore()
{
    sweepTimer_.reset();
    acceptWatch_.reset();
    connections_.clear();
    // Removed only while it is still the one made here: a lobby started after this one on
    // the same path must keep its own.
    struct stat status {};
    if (::lstat(options_.path.c_str(), &status) == 0 && status.st_ino == socketInode_)
        ::unlink(options_.path.c_str());
}

void LocalServerCore::AcceptWaiting()
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
        --acceptsLeft_;
        if (Clients() >= options_.maxClients) {
            ++counters_.busy;
            Refuse(std::move(client), options_.busyAnswer);
            continue;
        }
        ++counters_.accepted;
        auto connection = std::make_shared<Connection>();
        connection->server = this;
        connection->fd = std::move(client);
        connection->deadlineMs = clock_.NowMs() + options_.requestTimeoutMs;
        const std::weak_ptr<Connection> weak = connection;
        connection->watch = loop_.WatchReadable(connection->fd.Get(), [this, weak] {
            if (const auto alive = weak.lock())
                ReadRequest(alive);
        });
        connections_.push_back(std::move(connection));
        KeepSweeping();
    }
}

// A refusal is one short line into an empty socket buffer, which takes it whole; should it
// not, the client gets less of it and nothing waits.
void LocalServerCore::Refuse(FileDescriptor client, const std::string& answer)
{
    [[maybe_unused]] const ssize_t sent = ::send(client.Get(), answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void LocalServerCore::ReadRequest(const std::shared_ptr<Connection>& connection)
{
    char buffer[4096];
    const std::size_t room = options_.maxRequestBytes + 1 - connection->bytes.size();
    const ssize_t got = ::recv(connection->fd.Get(), buffer, std::min(sizeof buffer, room), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    const bool ended = got <= 0; // the client closed its side (or the connection failed)
    if (got > 0)
        connection->bytes.append(buffer, static_cast<std::size_t>(got));
    std::size_t lineEnd = connection->bytes.find('\n');
    if (lineEnd == std::string::npos) {
        if (connection->bytes.size() > options_.maxRequestBytes) {
            ++counters_.tooLong;
            Answer(connection, options_.tooLongAnswer);
            return;
        }
        if (!ended)
            return;
        if (connection->bytes.empty() || got < 0) {
            Close(connection);
            return;
        }
        lineEnd = connection->bytes.size(); // a last line without its line end counts
    }
    std::string request = connection->bytes.substr(0, lineEnd);
    if (!request.empty() && request.back() == '\r')
        request.pop_back();
    connection->bytes.clear();
    connection->state = Connection::State::Working;
    connection->watch.reset(); // nothing more is read from this client
    onRequest_(std::move(request), LocalAnswer(connection));
}

void LocalServerCore::Answer(const std::shared_ptr<Connection>& connection, std::string text)
{
    if (connection->state == Connection::State::Writing)
        return;
    connection->watch.reset();
    connection->state = Connection::State::Writing;
    connection->bytes = std::move(text);
    connection->written = 0;
    connection->deadlineMs = clock_.NowMs() + options_.replyTimeoutMs;
    WriteAnswer(connection);
}

void LocalServerCore::WriteAnswer(const std::shared_ptr<Connection>& connection)
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
                        WriteAnswer(alive);
                });
            }
            return;
        }
        if (sent <= 0)
            break; // the client went away: its answer goes nowhere
        connection->written += static_cast<std::size_t>(sent);
        connection->deadlineMs = clock_.NowMs() + options_.replyTimeoutMs;
    }
    Close(connection);
}

void LocalServerCore::Close(const std::shared_ptr<Connection>& connection)
{
    connection->watch.reset();
    connections_.remove(connection);
    if (connections_.empty() && !acceptPaused_ && acceptsLeft_ == AcceptsPerSweep())
        sweepTimer_.reset();
}

void LocalServerCore::KeepSweeping()
{
    if (!sweepTimer_)
        sweepTimer_ = loop_.StartTimer(options_.sweepIntervalMs, [this] { Sweep(); });
}

// A client the lobby is working for has no deadline: its answer comes when the work is done.
void LocalServerCore::Sweep()
{
    acceptsLeft_ = AcceptsPerSweep();
    if (acceptPaused_) {
        acceptPaused_ = false;
        WatchListener();
    }
    const std::int64_t now = clock_.NowMs();
    std::vector<std::shared_ptr<Connection>> late;
    for (const auto& connection : connections_) {
        if (connection->state != Connection::State::Working && now >= connection->deadlineMs)
            late.push_back(connection);
    }
    for (const auto& connection : late) {
        ++counters_.timedOut;
        Close(connection);
    }
    if (connections_.empty())
        sweepTimer_.reset(); // the allowance is whole again: nothing to look at until a client comes
}

} // namespace lobby
