// lobby-client: sends one request to the lobby server and prints what it answers, for
// operators checking a server and for game developers trying the protocol by hand. It binds
// the port game clients listen on (12000) because the server always answers there, whatever
// port a request came from.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "client/client_options.h"
#include "platform/cp1252.h"
#include "net/host_lookup.h"
#include "net/socket_error.h"
#include "net/udp_socket.h"

namespace lobby {

namespace {

using Clock = std::chrono::steady_clock;

// Without --listen the client stops this long after sending at the latest, even while
// replies keep coming (a busy lobby broadcasts all the time), unless --wait asks for more.
constexpr int kLongestRunMs = 5000;

// Room for any UDP datagram, so no reply is ever shown cut.
constexpr std::size_t kReceiveCapacity = 65536;

volatile std::sig_atomic_t stopRequested = 0;

// SIGINT and SIGTERM handler: asks the wait for replies to end; nothing else is safe here.
void RequestStop(int)
{
    stopRequested = 1;
}

// A failure that ends the run; what() is the one line the operator sees.
class ClientFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes one line, in the program's name, on standard error.
void SayOnStandardError(const std::string& text)
{
    const std::string line = "lobby-client: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

// Writes one reply as one line and hands it on at once, so that a reader at the other end
// of a pipe (grep, a test) sees each reply when it arrives, not when the client ends.
void PrintReply(const char* bytes, std::size_t size)
{
    const std::string line = ReadableText(std::string_view(bytes, size)) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// The IPv4 address (network byte order) of a name or dotted address; raises ClientFailure
// naming what could not be found.
std::uint32_t AddressOf(const std::string& name, const char* what)
{
    const std::optional<std::uint32_t> address = ResolveHostName(name);
    if (!address)
        throw ClientFailure(std::string("unknown ") + what + " \"" + name + "\"");
    return *address;
}

// Binds socket to address:port. UdpSocket only binds every local address, and --from needs
// one of them, so the bind is done here on its descriptor. Raises ClientFailure with the
// likely cause spelled out for the failures operators meet.
void BindTo(const UdpSocket& socket, std::uint32_t address, std::uint16_t port, const ClientOptions& options)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address;
    if (::bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0)
        return;
    const int error = errno;
    const std::string reason = " (" + SocketErrorReason(error) + ")";
    if (error == EADDRINUSE)
        throw ClientFailure("port " + std::to_string(port) +
                            " is taken by another program, perhaps a game client or another lobby-client" + reason);
    if (error == EADDRNOTAVAIL && options.from)
        throw ClientFailure("address " + *options.from + " is not one of this machine's" + reason);
    throw ClientFailure("cannot bind port " + std::to_string(port) + reason);
}

// SIGINT and SIGTERM are blocked except while waiting in ppoll, so a signal can never slip
// in between the check of stopRequested and the wait and be lost. Returns the mask to
// wait with.
sigset_t CatchStopSignals()
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
    sigset_t waitMask;
    ::sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    return waitMask;
}

// Prints every datagram queued on socket; returns how many there were. Raises ClientFailure
// when receiving fails for a reason other than an empty queue.
int PrintQueuedReplies(UdpSocket& socket, std::vector<char>& buffer)
{
    for (int count = 0;; ++count) {
        const UdpSocket::Received received = socket.ReceiveFrom(buffer.data(), buffer.size());
        if (received.length >= 0) {
            PrintReply(buffer.data(), static_cast<std::size_t>(received.length));
            continue;
        }
        if (ClassifySocketError(received.error) == SocketErrorKind::WouldBlock)
            return count;
        throw ClientFailure("cannot receive: " + SocketErrorReason(received.error));
    }
}

// Prints replies until the client should stop: with --listen, until SIGINT or SIGTERM;
// otherwise also once options.waitMs passed without a reply, or the longest run is over.
// Returns how many replies were printed.
int PrintReplies(UdpSocket& socket, const ClientOptions& options, const sigset_t& waitMask)
{
    std::vector<char> buffer(kReceiveCapacity);
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(std::max(kLongestRunMs, options.waitMs));
    auto quietUntil = start + std::chrono::milliseconds(options.waitMs);
    int printed = 0;
    while (!stopRequested) {
        timespec timeout{};
        const timespec* timeoutPointer = nullptr;
        if (!options.listen) {
            const auto left = std::min(end, quietUntil) - Clock::now();
            if (left <= Clock::duration::zero())
                break;
            const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
            timeout.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
            timeoutPointer = &timeout;
        }
        pollfd watched{socket.Fd(), POLLIN, 0};
        const int ready = ::ppoll(&watched, 1, timeoutPointer, &waitMask);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            throw ClientFailure("cannot wait for replies: " + SocketErrorReason(errno));
        if (ready == 0)
            continue;
        const int count = PrintQueuedReplies(socket, buffer);
        printed += count;
        if (count > 0)
            quietUntil = Clock::now() + std::chrono::milliseconds(options.waitMs);
    }
    return printed;
}

// Sends the request and prints the replies. Returns the exit status; raises ClientFailure.
int Run(const ClientOptions& options)
{
    const std::uint32_t server = AddressOf(options.server, "host");
    const std::uint32_t local = options.from ? AddressOf(*options.from, "address") : htonl(INADDR_ANY);

    int error = 0;
    UdpSocket socket = UdpSocket::Open(error);
    if (!socket.IsOpen())
        throw ClientFailure("cannot open a UDP socket: " + SocketErrorReason(error));
    BindTo(socket, local, options.port, options);

    const sigset_t waitMask = CatchStopSignals();
    const std::string request = RequestText(options);
    error = socket.SendTo(request.data(), request.size(), server, options.serverPort);
    if (error != 0)
        throw ClientFailure("cannot send to " + options.server + " port " + std::to_string(options.serverPort) +
                            ": " + SocketErrorReason(error));

    const int printed = PrintReplies(socket, options, waitMask);
    // Not a failure: a request may well have no answer (an "off", or a known player's
    // unknown command), but the operator should not have to guess why nothing was printed.
    if (printed == 0 && !options.listen && !stopRequested)
        SayOnStandardError("no reply within " + std::to_string(options.waitMs) + " ms");
    return 0;
}

} // namespace

// Exit status: 0 once the request was sent (replies or not), 1 when it could not be sent or
// receiving failed, 2 for a command line the client cannot run with.

} // namespace lobby

// The entry point stays outside; everything it uses is the program's own.
using namespace lobby;

int main(int argc, char** argv)
{
    const std::vector<std::string> words(argv + std::min(argc, 1), argv + argc);
    ClientOptions options;
    try {
        options = ParseClientOptions(words);
    } catch (const UsageError& error) {
        SayOnStandardError(std::string(error.what()) + " (lobby-client --help tells more)");
        return 2;
    }
    if (options.help) {
        const std::string usage = UsageText();
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    if (options.version) {
        // The build gives LOBBY_VERSION, the project's version in CMakeLists.txt.
        std::printf("lobby-client %s\n", LOBBY_VERSION);
        return 0;
    }
    try {
        return Run(options);
    } catch (const ClientFailure& failure) {
        SayOnStandardError(failure.what());
        return 1;
    }
}
