#include "net/socket_error.h"

#include <cerrno>
#include <cstring>

namespace lobby {

int ToleratedSocketError() noexcept
{
    return EWOULDBLOCK;
}

SocketErrorKind ClassifySocketError(int error) noexcept
{
    if (error == 0)
        return SocketErrorKind::None;
    // EAGAIN and EWOULDBLOCK are one number on Linux but may differ elsewhere.
    if (error == EWOULDBLOCK || error == EAGAIN)
        return SocketErrorKind::WouldBlock;
    if (error == EINTR)
        return SocketErrorKind::Interrupted;
    return SocketErrorKind::Failure;
}

std::string SocketErrorReason(int error)
{
    // strerror_r (GNU form) is used because strerror's static buffer is not thread-safe and
    // lookups run on worker threads.
    char buffer[256];
    return ::strerror_r(error, buffer, sizeof buffer);
}

} // namespace lobby
