#include "platform/default_console.h"

#include "platform/local_client.h"

namespace lobby {

const SystemConsole kSystemConsole{
    "/run/lobby-server/lobby.sock",
    "is it started? (systemctl status lobby-server; --dir or --socket names another)",
    "the console is open to the lobby's own user and root (sudo lobbyctl ...)",
};

// A packaged lobby runs as the service; a lobby started by hand is named with --dir.
DefaultConsole FindDefaultConsole()
{
    const std::string service = kSystemConsole.servicePath;
    return DefaultConsole{service, service + ", the service's"};
}

} // namespace lobby
