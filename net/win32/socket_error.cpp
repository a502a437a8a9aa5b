#include "net/socket_error.h"

#include "net/win32/winsock_udp.h"

namespace lobby {

int ToleratedSocketError() noexcept
{
    return WSAEWOULDBLOCK;
}

SocketErrorKind ClassifySocketError(int error) noexcept
{
    switch (win32::ClassifyWinsockError(error)) {
    case win32::WinsockErrorKind::None: return SocketErrorKind::None;
    case win32::WinsockErrorKind::WouldBlock: return SocketErrorKind::WouldBlock;
    case win32::WinsockErrorKind::Interrupted: return SocketErrorKind::Interrupted;
    case win32::WinsockErrorKind::Failure: break;
    }
    return SocketErrorKind::Failure;
}

std::string SocketErrorReason(int error)
{
    return win32::WinsockErrorReason(error);
}

} // namespace lobby
