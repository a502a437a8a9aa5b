#include "platform/local_server.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/exception.h"
#include "platform/linux/stream_connection_server.h"
#include "platform/posix/file_descriptor.h"

namespace lobby {

namespace {

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

// A request is one line; its line end (\n or \r\n) is taken off. A last line without its
// line end counts once the client has closed its side.
std::optional<std::string> RequestLine(const std::string& bytes, bool clientClosed)
{
    std::size_t lineEnd = bytes.find('\n');
    if (lineEnd == std::string::npos) {
        if (!clientClosed || bytes.empty())
            return std::nullopt;
        lineEnd = bytes.size();
    }
    std::string request = bytes.substr(0, lineEnd);
    if (!request.empty() && request.back() == '\r')
        request.pop_back();
    return request;
}

// Makes the listening socket at path, owner-only; returns it with the socket file's inode.
std::pair<FileDescriptor, std::uint64_t> ListenAt(const std::string& path, int backlog)
{
    const sockaddr_un address = AddressOf(path);
    ClearStaleSocket(path, address);
    FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.IsOpen())
        throw Exception("The control socket " + path + " cannot be made: " + Reason(errno));
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw Exception("The control socket " + path + " cannot be made: " + Reason(errno));
    // Its mode is set before it listens: until then every connection is refused, so nobody
    // gets in through the mode the umask gave it.
    struct stat status {};
    if (::chmod(path.c_str(), 0600) != 0 || ::stat(path.c_str(), &status) != 0 || ::listen(listener.Get(), backlog) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        throw Exception("The control socket " + path + " cannot be made: " + Reason(error));
    }
    return {std::move(listener), status.st_ino};
}

} // namespace

// What a LocalServer is made of on this system: the socket file and the connection core over
// its listening socket.
class LocalServerCore : public LocalServerState {
public:
    LocalServerCore(EventLoop& loop, LocalServerOptions options, LocalServer::RequestHandler onRequest);
    ~LocalServerCore();
    LocalServerCore(const LocalServerCore&) = delete;
    LocalServerCore& operator=(const LocalServerCore&) = delete;

    int Clients() const override { return server_->Clients(); }

private:
    void Serve(const std::shared_ptr<StreamConnection>& connection, std::string request);

    LocalServer::RequestHandler onRequest_;
    std::uint64_t socketInode_ = 0; // the file removed at the end only while it is still ours
    std::unique_ptr<StreamConnectionServer> server_;
};

// What an answer reaches its client through: it lives exactly as long as the connection.
struct LocalAnswer::Connection {
    StreamConnectionServer* server = nullptr;
    std::weak_ptr<StreamConnection> stream;
};

void LocalAnswer::Send(std::string text) const
{
    const auto connection = connection_.lock();
    if (!connection)
        return;
    if (const auto stream = connection->stream.lock())
        connection->server->Answer(stream, std::move(text));
}

bool LocalAnswer::Pending() const
{
    const auto connection = connection_.lock();
    const auto stream = connection ? connection->stream.lock() : nullptr;
    return stream && stream->state == StreamConnection::State::Working;
}

LocalServer::LocalServer(EventLoop& loop, LocalServerOptions options, RequestHandler onRequest)
    : core_(std::make_unique<LocalServerCore>(loop, std::move(options), std::move(onRequest)))
{
}

LocalServerCore::LocalServerCore(EventLoop& loop, LocalServerOptions options, LocalServer::RequestHandler onRequest)
    : LocalServerState(std::move(options)), onRequest_(std::move(onRequest))
{
    auto [listener, inode] = ListenAt(options_.path, options_.maxClients);
    socketInode_ = inode;
    const StreamServerLimits limits{options_.maxClients,      options_.maxRequestBytes, options_.requestTimeoutMs,
                                    options_.replyTimeoutMs,  options_.sweepIntervalMs, options_.maxAcceptsPerSecond,
                                    options_.busyAnswer,      options_.tooLongAnswer,   ""};
    const StreamServerTally tally{counters_.accepted, counters_.busy, counters_.tooLong, counters_.timedOut};
    server_ = std::make_unique<StreamConnectionServer>(
        loop, std::move(listener), limits, tally, RequestLine,
        [this](const std::shared_ptr<StreamConnection>& connection, std::string request) {
            Serve(connection, std::move(request));
        });
}

LocalServerCore::~LocalServerCore()
{
    server_.reset();
    // Removed only while it is still the one made here: a lobby started after this one on
    // the same path must keep its own.
    struct stat status {};
    if (::lstat(options_.path.c_str(), &status) == 0 && status.st_ino == socketInode_)
        ::unlink(options_.path.c_str());
}

void LocalServerCore::Serve(const std::shared_ptr<StreamConnection>& connection, std::string request)
{
    auto answer = std::make_shared<LocalAnswer::Connection>();
    answer->server = server_.get();
    answer->stream = connection;
    connection->tie = answer;
    onRequest_(std::move(request), LocalAnswer(answer));
}

} // namespace lobby
