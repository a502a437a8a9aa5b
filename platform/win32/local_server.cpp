#include "platform/local_server.h"

namespace lobby {

// The operator's console is not yet served on Windows (the named pipe of
// platform/win32/pipe_server is there, its client is not): the server is refused at once
// with a one-line reason, and the lobby serves without its console, as it does wherever the
// console cannot be made.
class LocalServerCore {};

struct LocalAnswer::Connection {};

void LocalAnswer::Send(std::string) const {}

bool LocalAnswer::Pending() const
{
    return false;
}

LocalServer::LocalServer(EventLoop&, LocalServerOptions, RequestHandler)
{
    throw Exception("the operator's console (lobbyctl) is not available on Windows yet");
}

LocalServer::~LocalServer() = default;

const LocalServerCounters& LocalServer::Counters() const
{
    static const LocalServerCounters none;
    return none;
}

int LocalServer::Clients() const
{
    return 0;
}

const std::string& LocalServer::Path() const
{
    static const std::string none;
    return none;
}

} // namespace lobby
