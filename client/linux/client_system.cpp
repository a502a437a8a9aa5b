// lobby-client's wait on Linux: ppoll on the socket, SIGINT and SIGTERM.
#include "client/client_system.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <poll.h>

#include "net/socket_error.h"

namespace lobby {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
// The signal mask to wait with: SIGINT and SIGTERM are blocked except inside ppoll, so a
// signal can never slip in between the check of stopRequested and the wait and be lost.
sigset_t waitMask;

// SIGINT and SIGTERM handler: asks the wait for replies to end; nothing else is safe here.
void RequestStop(int)
{
    stopRequested = 1;
}

} // namespace

std::vector<std::string> ProgramWords(int argc, char** argv)
{
    // The terminal's text is UTF-8 already.
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

void CatchStopRequests()
{
    struct sigaction action{};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
}

bool StopRequested()
{
    return stopRequested != 0;
}

BindRefusal BindRefusalOf(int error) noexcept
{
    if (error == EADDRINUSE)
        return BindRefusal::PortTaken;
    if (error == EADDRNOTAVAIL)
        return BindRefusal::AddressNotLocal;
    return BindRefusal::Other;
}

bool ReplySocket::WaitForDatagrams(std::optional<std::chrono::milliseconds> timeout)
{
    timespec limit{};
    if (timeout) {
        limit.tv_sec = static_cast<time_t>(timeout->count() / 1000);
        limit.tv_nsec = static_cast<long>(timeout->count() % 1000) * 1000000;
    }
    // What the loop would watch is the socket's descriptor itself.
    pollfd watched{static_cast<int>(socket_.Watchable()), POLLIN, 0};
    const int ready = ::ppoll(&watched, 1, timeout ? &limit : nullptr, &waitMask);
    if (ready < 0 && errno == EINTR)
        return false;
    if (ready < 0)
        throw ClientFailure("cannot wait for replies: " + SocketErrorReason(errno));
    return ready > 0;
}

} // namespace lobby
