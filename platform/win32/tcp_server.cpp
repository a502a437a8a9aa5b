#include "platform/tcp_server.h"

namespace lobby {

// The figures over HTTP are for the Linux service's monitoring; on Windows lobbyctl metrics
// gives them.
class TcpServer::Core {};

TcpServer::TcpServer(EventLoop&, TcpServerOptions options, RequestHandler)
{
    throw Exception("Cannot listen on " + options.address + ":" + std::to_string(options.port) +
                    ": the figures over HTTP are not served on Windows (lobbyctl metrics gives them)");
}

TcpServer::~TcpServer() = default;

int TcpServer::Port() const
{
    return 0;
}

int TcpServer::Clients() const
{
    return 0;
}

const TcpServerCounters& TcpServer::Counters() const
{
    static const TcpServerCounters none;
    return none;
}

} // namespace lobby
