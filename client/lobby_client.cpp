// lobby-client: sends one request to the lobby server and prints what it answers, for
// operators checking a server and for game developers trying the protocol by hand. It binds
// the port game clients listen on (12000) because the server always answers there, whatever
// port a request came from.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "client/client_options.h"
#include "client/client_system.h"
#include "platform/cp1252.h"

namespace lobby {

namespace {

using Clock = std::chrono::steady_clock;

// Without --listen the client stops this long after sending at the latest, even while
// replies keep coming (a busy lobby broadcasts all the time), unless --wait asks for more.
constexpr int kLongestRunMs = 5000;

// Room for any UDP datagram, so no reply is ever shown cut.
constexpr std::size_t kReceiveCapacity = 65536;

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
    const std::optional<std::uint32_t> address = LookUpHostAddress(name);
    if (!address)
        throw ClientFailure(std::string("unknown ") + what + " \"" + name + "\"");
    return *address;
}

// Binds socket to address:port. Raises ClientFailure with the likely cause spelled out for
// the failures operators meet.
void BindTo(ReplySocket& socket, std::uint32_t address, std::uint16_t port, const ClientOptions& options)
{
    std::string reason;
    const BindRefusal refusal = socket.Bind(address, port, reason);
    if (refusal == BindRefusal::None)
        return;
    reason = " (" + reason + ")";
    if (refusal == BindRefusal::PortTaken)
        throw ClientFailure("port " + std::to_string(port) +
                            " is taken by another program, perhaps a game client or another lobby-client" + reason);
    if (refusal == BindRefusal::AddressNotLocal && options.from)
        throw ClientFailure("address " + *options.from + " is not one of this machine's" + reason);
    throw ClientFailure("cannot bind port " + std::to_string(port) + reason);
}

// Prints every datagram queued on socket; returns how many there were.
int PrintQueuedReplies(ReplySocket& socket, std::vector<char>& buffer)
{
    int count = 0;
    while (const std::optional<std::size_t> length = socket.Receive(buffer.data(), buffer.size())) {
        PrintReply(buffer.data(), *length);
        ++count;
    }
    return count;
}

// Prints replies until the client should stop: with --listen, until the operator asks it
// to; otherwise also once options.waitMs passed without a reply, or the longest run is
// over. Returns how many replies were printed.
int PrintReplies(ReplySocket& socket, const ClientOptions& options)
{
    std::vector<char> buffer(kReceiveCapacity);
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(std::max(kLongestRunMs, options.waitMs));
    auto quietUntil = start + std::chrono::milliseconds(options.waitMs);
    int printed = 0;
    while (!StopRequested()) {
        std::optional<std::chrono::milliseconds> timeout;
        if (!options.listen) {
            const auto left = std::min(end, quietUntil) - Clock::now();
            if (left <= Clock::duration::zero())
                break;
            // Rounded up, so the wait never ends a little early and spins.
            timeout = std::chrono::ceil<std::chrono::milliseconds>(left);
        }
        if (!socket.WaitForDatagrams(timeout))
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
    const std::uint32_t local = options.from ? AddressOf(*options.from, "address") : 0; // 0: every address

    ReplySocket socket;
    BindTo(socket, local, options.port, options);

    CatchStopRequests();
    const std::string request = RequestText(options);
    if (const std::string reason = socket.SendTo(request, server, options.serverPort); !reason.empty())
        throw ClientFailure("cannot send to " + options.server + " port " + std::to_string(options.serverPort) +
                            ": " + reason);

    const int printed = PrintReplies(socket, options);
    // Not a failure: a request may well have no answer (an "off", or a known player's
    // unknown command), but the operator should not have to guess why nothing was printed.
    if (printed == 0 && !options.listen && !StopRequested())
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
    const std::vector<std::string> words = ProgramWords(argc, argv);
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
