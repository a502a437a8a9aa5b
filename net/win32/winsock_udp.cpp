#include "net/win32/winsock_udp.h"

#include <mstcpip.h>
#include <mswsock.h>
#include <stdexcept>
#include <utility>
#include <ws2tcpip.h>

#include "platform/win32/windows_error.h"

namespace lobby::win32 {

WinsockSession::WinsockSession()
{
    WSADATA data;
    if (const int error = ::WSAStartup(MAKEWORD(2, 2), &data); error != 0)
        throw std::runtime_error("Cannot start Windows Sockets: " + WinsockErrorReason(error));
}

WinsockSession::~WinsockSession()
{
    ::WSACleanup();
}

WinsockErrorKind ClassifyWinsockError(int error) noexcept
{
    switch (error) {
    case 0: return WinsockErrorKind::None;
    case WSAEWOULDBLOCK: return WinsockErrorKind::WouldBlock;
    case WSAEINTR: return WinsockErrorKind::Interrupted;
    default: return WinsockErrorKind::Failure;
    }
}

std::string WinsockErrorReason(int error)
{
    switch (error) {
    case WSAEADDRINUSE: return "Address already in use";
    case WSAEACCES: return "Permission denied";
    case WSAEADDRNOTAVAIL: return "Cannot assign requested address";
    case WSAEAFNOSUPPORT: return "Address family not supported by protocol";
    case WSAECONNREFUSED: return "Connection refused";
    case WSAEHOSTUNREACH: return "No route to host";
    case WSAEINTR: return "Interrupted system call";
    case WSAEINVAL: return "Invalid argument";
    case WSAEMFILE: return "Too many open files";
    case WSAEMSGSIZE: return "Message too long";
    case WSAENETDOWN: return "Network is down";
    case WSAENETUNREACH: return "Network is unreachable";
    case WSAENOBUFS: return "No buffer space available";
    case WSAEWOULDBLOCK: return "Resource temporarily unavailable";
    default: return SystemMessage(static_cast<DWORD>(error));
    }
}

WinUdpSocket::WinUdpSocket(WinUdpSocket&& other) noexcept
    : socket_(std::exchange(other.socket_, INVALID_SOCKET)), ready_(std::exchange(other.ready_, nullptr))
{
}

WinUdpSocket& WinUdpSocket::operator=(WinUdpSocket&& other) noexcept
{
    if (this != &other) {
        Close();
        socket_ = std::exchange(other.socket_, INVALID_SOCKET);
        ready_ = std::exchange(other.ready_, nullptr);
    }
    return *this;
}

WinUdpSocket WinUdpSocket::Open(int& error) noexcept
{
    WinUdpSocket made;
    // Not inheritable: programs the server starts must not hold its port.
    made.socket_ = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (made.socket_ == INVALID_SOCKET) {
        error = ::WSAGetLastError();
        return made;
    }
    // Nobody else may bind the lobby's port beside it (Windows would otherwise let a socket
    // with SO_REUSEADDR take its datagrams).
    BOOL on = TRUE;
    ::setsockopt(made.socket_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    // A reply to a player who has gone comes back as an ICMP "port unreachable", which
    // Windows turns into WSAECONNRESET on the next receive: it would read as a failure of the
    // lobby's socket. Linux reports nothing for an unconnected socket; neither does this one.
    BOOL reportReset = FALSE;
    DWORD returned = 0;
    ::WSAIoctl(made.socket_, SIO_UDP_CONNRESET, &reportReset, sizeof reportReset, nullptr, 0, &returned, nullptr,
               nullptr);
    made.ready_ = ::WSACreateEvent();
    // WSAEventSelect also makes the socket non-blocking; sends that find no buffer room are
    // retried in SendTo instead.
    if (made.ready_ == WSA_INVALID_EVENT || ::WSAEventSelect(made.socket_, made.ready_, FD_READ) != 0) {
        error = ::WSAGetLastError();
        made.Close();
        return made;
    }
    error = 0;
    return made;
}

int WinUdpSocket::Bind(std::uint16_t port, std::uint32_t address) noexcept
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address;
    if (::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return ::WSAGetLastError();
    return 0;
}

std::uint16_t WinUdpSocket::BoundPort() const noexcept
{
    sockaddr_in local{};
    int length = sizeof local;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

WinUdpSocket::Received WinUdpSocket::ReceiveFrom(char* buffer, std::size_t capacity) noexcept
{
    Received result;
    sockaddr_in from{};
    int fromLength = sizeof from;
    const int room = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
    const int n = ::recvfrom(socket_, buffer, room, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n == SOCKET_ERROR) {
        result.error = ::WSAGetLastError();
        // The buffer's worth was stored and the rest discarded, as on Linux; the length only
        // says "longer than the buffer".
        if (result.error != WSAEMSGSIZE)
            return result;
        result.error = 0;
        result.length = static_cast<std::int64_t>(capacity) + 1;
    } else {
        result.length = n;
    }
    result.fromAddress = from.sin_addr.s_addr;
    result.fromPort = ntohs(from.sin_port);
    return result;
}

int WinUdpSocket::SendTo(const void* data, std::size_t size, std::uint32_t address, std::uint16_t port) noexcept
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    // The socket is non-blocking for the event's sake; a full buffer is waited out here, a
    // bounded number of times, as the blocking POSIX socket waits for it.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (::sendto(socket_, static_cast<const char*>(data), static_cast<int>(size), 0,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to) != SOCKET_ERROR)
            return 0;
        const int error = ::WSAGetLastError();
        if (ClassifyWinsockError(error) == WinsockErrorKind::Failure)
            return error;
        ::Sleep(1);
    }
    return WSAEWOULDBLOCK;
}

void WinUdpSocket::Close() noexcept
{
    if (socket_ != INVALID_SOCKET)
        ::closesocket(std::exchange(socket_, INVALID_SOCKET));
    if (ready_ != nullptr)
        ::WSACloseEvent(std::exchange(ready_, nullptr));
}

} // namespace lobby::win32
