// The system's resolver: getaddrinfo, which every system the lobby runs on has, from the
// headers and with the session its system's socket_system.h names (found in the system's own
// net/ folder, which the build puts on this file's include path).
#include "net/host_lookup.h"

#include <memory>

#include "socket_system.h"

namespace lobby {

std::optional<std::uint32_t> ResolveHostName(const std::string& name)
{
    // The lookup runs on a worker thread that may outlive the endpoint's socket: it holds
    // the system's sockets itself for its call (a session refused raises: the lookup has
    // failed).
    const SocketSession session;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    return reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
}

} // namespace lobby
