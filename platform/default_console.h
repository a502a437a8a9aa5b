#pragma once

#include <string>

namespace lobby {

// Where lobbyctl looks for the lobby when neither --dir nor --socket names it.
struct DefaultConsole {
    std::string path;        // the console's socket (or pipe) to talk to
    std::string description; // how --help tells where that is
};

// On Linux, the service's socket. On Windows, the first of these where a lobby listens: the
// folder "data" beside lobbyctl.exe (where the zip's start script keeps the lobby's files),
// lobbyctl.exe's own folder (a lobby started there without --dir), and the service's pipe;
// the service's pipe when none listens, so that the operator is told about that one. Looking
// takes no place among the console's clients.
DefaultConsole FindDefaultConsole();

} // namespace lobby
