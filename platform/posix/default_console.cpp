#include "platform/default_console.h"

#include "platform/local_client.h"

namespace lobby {

// A packaged lobby runs as the service; a lobby started by hand is named with --dir.
DefaultConsole FindDefaultConsole()
{
    const std::string service = kSystemConsole.servicePath;
    return DefaultConsole{service, service + ", the service's"};
}

} // namespace lobby
