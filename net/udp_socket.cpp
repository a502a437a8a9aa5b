#include "net/udp_socket.h"

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <utility>

#include "net/socket_error.h"

namespace lobby {

UdpSocket UdpSocket::Open(int& error) noexcept
{
    // Close-on-exec: the server may start other programs, which must not inherit its port.
    FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    error = fd.IsOpen() ? 0 : errno;
    return UdpSocket(std::move(fd));
}

int UdpSocket::Bind(std::uint16_t port) noexcept
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return errno;
    return 0;
}

std::uint16_t UdpSocket::BoundPort() const noexcept
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

UdpSocket::Received UdpSocket::ReceiveFrom(char* buffer, std::size_t capacity) noexcept
{
    Received result;
    sockaddr_in from{};
    for (;;) {
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC makes the result the datagram's real length, so a datagram longer than
        // the buffer is told apart from one that fits exactly.
        const ssize_t n = ::recvfrom(fd_.Get(), buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n >= 0) {
            result.length = n;
            result.fromAddress = from.sin_addr.s_addr;
            result.fromPort = ntohs(from.sin_port);
            return result;
        }
        result.error = errno;
        if (ClassifySocketError(result.error) != SocketErrorKind::Interrupted)
            return result;
    }
}

int UdpSocket::SendTo(const void* data, std::size_t size, std::uint32_t address, std::uint16_t port) noexcept
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    for (;;) {
        if (::sendto(fd_.Get(), data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0)
            return 0;
        const int error = errno;
        if (ClassifySocketError(error) != SocketErrorKind::Interrupted)
            return error;
    }
}

std::size_t UdpSocket::SendMany(mmsghdr* datagrams, std::size_t count) noexcept
{
    std::size_t refused = 0;
    for (std::size_t next = 0; next < count;) {
        // The system takes at most 1024 records a call and quietly ignores the rest.
        const unsigned batch = static_cast<unsigned>(std::min<std::size_t>(count - next, 1024));
        const int sent = ::sendmmsg(fd_.Get(), datagrams + next, batch, 0);
        if (sent > 0) {
            next += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && ClassifySocketError(errno) == SocketErrorKind::Interrupted)
            continue;
        // The call stopped at the first datagram it could not send: that one is lost, as one
        // lost on the way would be, and the rest go on.
        ++refused;
        ++next;
    }
    return refused;
}

} // namespace lobby
