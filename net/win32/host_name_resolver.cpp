// The system's resolver on Windows: getaddrinfo, as on POSIX, inside a Windows Sockets
// session of its own.
#include "net/host_lookup.h"

#include <memory>
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/win32/winsock_udp.h"

namespace lobby {

std::optional<std::uint32_t> ResolveHostName(const std::string& name)
{
    // The lookup runs on a worker thread that may outlive the endpoint's socket: it holds
    // Windows Sockets itself for its call (a session refused raises: the lookup has failed).
    const win32::WinsockSession session;
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
