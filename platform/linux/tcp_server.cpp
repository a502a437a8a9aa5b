#include "platform/tcp_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <utility>

#include "platform/linux/stream_connection_server.h"
#include "platform/posix/file_descriptor.h"

namespace lobby {

namespace {

// Binds address:port (a dotted IPv4 address) and listens; returns the listening socket and
// the port it has (the one the system picked for port 0).
std::pair<FileDescriptor, int> ListenOn(const std::string& ip, int port, int backlog)
{
    const std::string where = ip + ":" + std::to_string(port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1)
        throw Exception("Cannot listen on " + where + ": no IPv4 address");
    FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (!listener.IsOpen() || ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.Get(), backlog) != 0)
        throw Exception("Cannot listen on " + where + ": " + std::strerror(errno));
    socklen_t length = sizeof address;
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    return {std::move(listener), ntohs(address.sin_port)};
}

} // namespace

// What a TcpServer is made of on this system: the connection core over its listening socket.
class TcpServer::Core {
public:
    Core(EventLoop& loop, TcpServerOptions options, RequestHandler onRequest);

    int port = 0;
    TcpServerCounters counters;
    std::uint64_t accepted = 0; // connections taken; the counters tell the requests served
    std::unique_ptr<StreamConnectionServer> server;
};

TcpServer::Core::Core(EventLoop& loop, TcpServerOptions options, RequestHandler onRequest)
{
    auto [listener, listening] = ListenOn(options.address, options.port, options.maxClients);
    port = listening;
    // A request ends with requestEnd, which the handler gets with it.
    auto framing = [end = options.requestEnd](const std::string& bytes, bool) -> std::optional<std::string> {
        const std::size_t at = bytes.find(end);
        if (at == std::string::npos)
            return std::nullopt;
        return bytes.substr(0, at + end.size());
    };
    // The answer is made at once.
    auto serve = [this, onRequest = std::move(onRequest)](const std::shared_ptr<StreamConnection>& connection,
                                                          std::string request) {
        ++counters.served;
        server->Answer(connection, onRequest(request));
    };
    StreamServerLimits limits{options.maxClients,      options.maxRequestBytes, options.requestTimeoutMs,
                              options.replyTimeoutMs,  options.sweepIntervalMs, 0,
                              options.busyAnswer,      options.tooLongAnswer,   options.timeoutAnswer};
    const StreamServerTally tally{accepted, counters.busy, counters.tooLong, counters.timedOut};
    server = std::make_unique<StreamConnectionServer>(loop, std::move(listener), std::move(limits), tally,
                                                      std::move(framing), std::move(serve));
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
    return core_->server->Clients();
}

const TcpServerCounters& TcpServer::Counters() const
{
    return core_->counters;
}

} // namespace lobby
