#include "platform/local_server.h"

namespace lobby {

// The system's own file makes core_; what is read of it is the same on every system.

LocalServer::~LocalServer() = default;

const LocalServerCounters& LocalServer::Counters() const
{
    return core_->counters_;
}

int LocalServer::Clients() const
{
    return core_->Clients();
}

const std::string& LocalServer::Path() const
{
    return core_->options_.path;
}

} // namespace lobby
