// lobby-client's socket and wait on POSIX: the endpoint's UdpSocket, ppoll, SIGINT and
// SIGTERM.
#include "client/client_system.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "net/host_lookup.h"
#include "net/socket_error.h"
#include "net/udp_socket.h"

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

std::optional<std::uint32_t> LookUpHostAddress(const std::string& name)
{
    return ResolveHostName(name);
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

// On POSIX what the loop would watch is the socket's descriptor itself.
int Descriptor(const UdpSocket& socket)
{
    return static_cast<int>(socket.Watchable());
}

struct ReplySocket::System {
    UdpSocket socket;
};

ReplySocket::ReplySocket() : system_(std::make_unique<System>())
{
    int error = 0;
    system_->socket = UdpSocket::Open(error);
    if (!system_->socket.IsOpen())
        throw ClientFailure("cannot open a UDP socket: " + SocketErrorReason(error));
}

ReplySocket::~ReplySocket() = default;

BindRefusal ReplySocket::Bind(std::uint32_t address, std::uint16_t port, std::string& reason)
{
    // UdpSocket only binds every local address, and --from needs one of them.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address;
    if (::bind(Descriptor(system_->socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0)
        return BindRefusal::None;
    const int error = errno;
    reason = SocketErrorReason(error);
    if (error == EADDRINUSE)
        return BindRefusal::PortTaken;
    if (error == EADDRNOTAVAIL)
        return BindRefusal::AddressNotLocal;
    return BindRefusal::Other;
}

std::string ReplySocket::SendTo(const std::string& bytes, std::uint32_t address, std::uint16_t port)
{
    const int error = system_->socket.SendTo(bytes.data(), bytes.size(), address, port);
    return error == 0 ? std::string() : SocketErrorReason(error);
}

bool ReplySocket::WaitForDatagrams(std::optional<std::chrono::milliseconds> timeout)
{
    timespec limit{};
    if (timeout) {
        limit.tv_sec = static_cast<time_t>(timeout->count() / 1000);
        limit.tv_nsec = static_cast<long>(timeout->count() % 1000) * 1000000;
    }
    pollfd watched{Descriptor(system_->socket), POLLIN, 0};
    const int ready = ::ppoll(&watched, 1, timeout ? &limit : nullptr, &waitMask);
    if (ready < 0 && errno == EINTR)
        return false;
    if (ready < 0)
        throw ClientFailure("cannot wait for replies: " + SocketErrorReason(errno));
    return ready > 0;
}

std::optional<std::size_t> ReplySocket::Receive(char* buffer, std::size_t capacity)
{
    const UdpSocket::Received received = system_->socket.ReceiveFrom(buffer, capacity);
    if (received.length >= 0)
        return std::min(static_cast<std::size_t>(received.length), capacity);
    if (ClassifySocketError(received.error) == SocketErrorKind::WouldBlock)
        return std::nullopt;
    throw ClientFailure("cannot receive: " + SocketErrorReason(received.error));
}

} // namespace lobby
