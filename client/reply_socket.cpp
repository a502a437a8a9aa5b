// lobby-client's socket: the endpoint's UdpSocket, whose errors read alike on every system.
// The wait for it is the system's own (client/linux/, client/win32/).
#include <algorithm>

#include "client/client_system.h"
#include "net/host_lookup.h"
#include "net/socket_error.h"

namespace lobby {

std::optional<std::uint32_t> LookUpHostAddress(const std::string& name)
{
    return ResolveHostName(name);
}

ReplySocket::ReplySocket()
{
    int error = 0;
    socket_ = UdpSocket::Open(error);
    if (!socket_.IsOpen())
        throw ClientFailure("cannot open a UDP socket: " + SocketErrorReason(error));
}

BindRefusal ReplySocket::Bind(std::uint32_t address, std::uint16_t port, std::string& reason)
{
    const int error = socket_.Bind(port, address);
    if (error == 0)
        return BindRefusal::None;
    reason = SocketErrorReason(error);
    return BindRefusalOf(error);
}

std::string ReplySocket::SendTo(const std::string& bytes, std::uint32_t address, std::uint16_t port)
{
    const int error = socket_.SendTo(bytes.data(), bytes.size(), address, port);
    return error == 0 ? std::string() : SocketErrorReason(error);
}

std::optional<std::size_t> ReplySocket::Receive(char* buffer, std::size_t capacity)
{
    const UdpSocket::Received received = socket_.ReceiveFrom(buffer, capacity);
    if (received.length >= 0)
        return std::min(static_cast<std::size_t>(received.length), capacity);
    if (ClassifySocketError(received.error) == SocketErrorKind::WouldBlock)
        return std::nullopt;
    throw ClientFailure("cannot receive: " + SocketErrorReason(received.error));
}

} // namespace lobby
