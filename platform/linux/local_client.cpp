#include "platform/local_client.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "platform/posix/file_descriptor.h"

namespace lobby {

namespace {

using Clock = std::chrono::steady_clock;

LocalExchange Failed(LocalFailure failure, std::string reason)
{
    LocalExchange result;
    result.failure = failure;
    result.reason = std::move(reason);
    return result;
}

LocalFailure FailureOf(int error)
{
    switch (error) {
    case ENOENT:
    case ECONNREFUSED:
    case ENOTDIR:
        return LocalFailure::NotRunning;
    case EACCES:
    case EPERM:
        return LocalFailure::NotAllowed;
    default:
        return LocalFailure::Other;
    }
}

// Waits until fd is ready for events or the deadline passes; false when it passed.
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return true; // the next call on fd reports what is wrong
    }
}

} // namespace

const SystemConsole kSystemConsole{
    "/run/lobby-server/lobby.sock",
    "is it started? (systemctl status lobby-server; --dir or --socket names another)",
    "the console is open to the lobby's own user and root (sudo lobbyctl ...)",
};

LocalExchange ExchangeOverLocalSocket(const std::string& path, std::string_view request, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return Failed(LocalFailure::Other, "the path is longer than a socket's name may be");
    std::memcpy(address.sun_path, path.data(), path.size());

    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.IsOpen())
        return Failed(LocalFailure::Other, std::strerror(errno));
    // A local connect completes at once or is refused; a full queue (the server taking no
    // more for the moment) refuses it with EAGAIN, and it is tried again a little later.
    while (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN)
            return Failed(FailureOf(error), std::strerror(error));
        if (Clock::now() >= deadline)
            return Failed(LocalFailure::TimedOut, "the console took no connection within the time allowed");
        ::poll(nullptr, 0, 10);
    }

    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t count = ::send(socket.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            break; // the server may have answered and closed already (a refusal): read it
        if (!WaitFor(socket.Get(), POLLOUT, deadline))
            return Failed(LocalFailure::TimedOut, "the request could not be sent within the time allowed");
    }

    LocalExchange result;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::recv(socket.Get(), buffer, sizeof buffer, 0);
        if (count > 0) {
            result.answer.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count == 0)
            return result;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            if (!result.answer.empty() && errno == ECONNRESET)
                return result; // closed with part of the request unread: the answer is whole
            return Failed(LocalFailure::Other, std::strerror(errno));
        }
        if (!WaitFor(socket.Get(), POLLIN, deadline))
            return Failed(LocalFailure::TimedOut, "no answer within the time allowed");
    }
}

} // namespace lobby
