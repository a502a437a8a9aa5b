#pragma once

#include <string>
#include <string_view>

namespace lobby {

// Why a request over a local socket got no answer.
enum class LocalFailure {
    None,
    NotRunning,  // no socket at the path, or nobody listens on it
    NotAllowed,  // the socket's mode keeps this user out
    TimedOut,    // no whole answer within the time given
    Other,       // anything else the system refused; the reason says what
};

struct LocalExchange {
    LocalFailure failure = LocalFailure::None;
    std::string reason; // the system's words, when failure is not None
    std::string answer; // everything the server sent before it closed the connection
};

// Where a lobby run as the system's service keeps its console: the service unit's socket on
// Linux, the pipe \\.\pipe\lobby-server on Windows. lobbyctl talks to it unless told otherwise.
std::string ServiceControlPath();

// What an operator who reached no lobby, or was not let in, is told to try, in this system's
// terms: how to see whether the service runs, and who may use the console.
std::string_view NotRunningHint();
std::string_view NotAllowedHint();

// The client side of a LocalServer: connects to the socket at path, sends request (one line,
// its line end included) and reads the answer until the server closes the connection, all
// within timeoutMs. Never raises.
LocalExchange ExchangeOverLocalSocket(const std::string& path, std::string_view request, int timeoutMs);

} // namespace lobby
