#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace lobby {

// Why a request over a local socket got no answer.
enum class LocalFailure {
    None,
    NotRunning,  // no socket at the path, or nobody listens on it
    NotAllowed,  // the socket's mode keeps this user out
    TimedOut,    // no whole answer within the time given
    Untrusted,   // whoever listens there may not be the lobby: nothing was sent
    Other,       // anything else the system refused; the reason says what
};

struct LocalExchange {
    LocalFailure failure = LocalFailure::None;
    std::string reason; // the system's words, when failure is not None
    std::string answer; // everything the server sent before it closed the connection

    // An exchange that failed: no answer, failure and why.
    static LocalExchange Failed(LocalFailure failure, std::string reason)
    {
        LocalExchange result;
        result.failure = failure;
        result.reason = std::move(reason);
        return result;
    }
};

// The console as this system's operators know it. lobbyctl talks to servicePath unless told
// otherwise or it finds a lobby beside itself (FindDefaultConsole), and tells an operator who
// reached no lobby, or was not let in, what to try.
struct SystemConsole {
    const char* servicePath;    // the service unit's socket on Linux, \\.\pipe\lobby-server on Windows
    const char* notRunningHint; // how to see whether the lobby runs
    const char* notAllowedHint; // who may use the console
};
extern const SystemConsole kSystemConsole;

// The client side of a LocalServer: connects to the socket at path, sends request (one line,
// its line end included) and reads the answer until the server closes the connection, all
// within timeoutMs. Never raises.
//
// Before a word is sent it makes sure that the listener is the lobby of a user it trusts,
// since a request may carry a password: this user, the system's (root, SYSTEM), or, for root,
// a system account (uid below 1000, or one systemd gives a service) owning the socket in a
// place nobody else can change, as the packaged service's is. On Linux the socket's file and
// every folder above it must be theirs and closed to others, and the listening process must
// run as one of them; on Windows the pipe's server process must run as this user or SYSTEM.
// Anything else fails with Untrusted and the reason.
LocalExchange ExchangeOverLocalSocket(const std::string& path, std::string_view request, int timeoutMs);

} // namespace lobby
