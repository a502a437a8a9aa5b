#include "platform/local_client.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <optional>
#include <vector>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/path_holders.h"

namespace lobby {

namespace {

using Clock = std::chrono::steady_clock;

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

// Sends the whole request, or what the server takes of it before it closes (a refusal it has
// answered already, which the reading then finds); false when the deadline passed first.
bool SendRequest(int fd, std::string_view request, Clock::time_point deadline)
{
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t count = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return true;
        if (!WaitFor(fd, POLLOUT, deadline))
            return false;
    }
    return true;
}

// An account the system made for a service rather than a person: below the first ordinary
// user's uid, or in the range systemd gives its DynamicUser services.
bool SystemAccount(uid_t uid)
{
    return uid < 1000 || (uid >= 61184 && uid <= 65519);
}

std::string FolderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The users whose lobby may answer at path, or why nobody's may, with failure Untrusted (or
// NotAllowed for a service's socket, which only root may use). Nothing there yet is left to
// the connection to report.
std::optional<std::vector<uid_t>> TrustedAt(const std::string& path, std::string& why, LocalFailure& failure)
{
    failure = LocalFailure::Untrusted;
    std::vector<uid_t> trusted{::geteuid(), 0};
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode))
        return trusted;
    if (::geteuid() == 0 && SystemAccount(status.st_uid))
        trusted.push_back(status.st_uid);
    if (std::find(trusted.begin(), trusted.end(), status.st_uid) == trusted.end()) {
        // A service's socket, which its mode would keep this user out of anyway: root's to use.
        if (SystemAccount(status.st_uid))
            failure = LocalFailure::NotAllowed;
        why = path + " is owned by " + posix::UserText(status.st_uid);
        return std::nullopt;
    }
    if (auto hold = posix::ForeignHold(FolderOf(path), trusted, true)) {
        why = *hold + ", who could put a socket of theirs in its place";
        return std::nullopt;
    }
    return trusted;
}

// Whether the process listening at the other end of fd runs as a trusted user; why not in why.
bool ListenerTrusted(int fd, const std::vector<uid_t>& trusted, std::string& why)
{
    ucred peer {};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        why = std::string("its credentials cannot be read: ") + std::strerror(errno);
        return false;
    }
    if (std::find(trusted.begin(), trusted.end(), peer.uid) != trusted.end())
        return true;
    why = "the program listening there runs as " + posix::UserText(peer.uid);
    return false;
}

} // namespace

LocalExchange ExchangeOverLocalSocket(const std::string& path, std::string_view request, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return LocalExchange::Failed(LocalFailure::Other, "the path is longer than a socket's name may be");
    std::memcpy(address.sun_path, path.data(), path.size());

    std::string why;
    LocalFailure failure = LocalFailure::Untrusted;
    const std::optional<std::vector<uid_t>> trusted = TrustedAt(path, why, failure);
    if (!trusted)
        return LocalExchange::Failed(failure, why);

    const FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.IsOpen())
        return LocalExchange::Failed(LocalFailure::Other, std::strerror(errno));
    // A local connect completes at once or is refused; a full queue (the server taking no
    // more for the moment) refuses it with EAGAIN, and it is tried again a little later.
    while (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN)
            return LocalExchange::Failed(FailureOf(error), std::strerror(error));
        if (Clock::now() >= deadline)
            return LocalExchange::Failed(LocalFailure::TimedOut, "the console took no connection within the time allowed");
        ::poll(nullptr, 0, 10);
    }
    if (!ListenerTrusted(socket.Get(), *trusted, why))
        return LocalExchange::Failed(LocalFailure::Untrusted, why);

    if (!SendRequest(socket.Get(), request, deadline))
        return LocalExchange::Failed(LocalFailure::TimedOut, "the request could not be sent within the time allowed");

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
            return LocalExchange::Failed(LocalFailure::Other, std::strerror(errno));
        }
        if (!WaitFor(socket.Get(), POLLIN, deadline))
            return LocalExchange::Failed(LocalFailure::TimedOut, "no answer within the time allowed");
    }
}

} // namespace lobby
