#include "platform/default_console.h"

#include <windows.h>

#include "platform/exception.h"
#include "platform/local_client.h"
#include "platform/program_folder.h"
#include "platform/win32/pipe_name.h"

namespace lobby {

const SystemConsole kSystemConsole{
    "\\\\.\\pipe\\lobby-server",
    "is it started? (its window, or sc query for a service; --dir or --socket names another)",
    "the console is open to the lobby's own user and the system (run lobbyctl as that user)",
};

namespace {

// Whether a lobby's pipe is there: an instance free, or every one of them busy. Waiting for a
// pipe connects to nothing, so no client place is taken.
bool PipeIsThere(const std::string& path)
{
    std::wstring name;
    try {
        name = win32::PipeNameFor(path);
    } catch (const Exception&) {
        return false; // a folder whose pipe cannot be named has no lobby behind it
    }
    if (::WaitNamedPipeW(name.c_str(), 1))
        return true;
    return ::GetLastError() == ERROR_SEM_TIMEOUT;
}

} // namespace

DefaultConsole FindDefaultConsole()
{
    const std::string folder = ProgramFolder();
    const std::string service = kSystemConsole.servicePath;
    const std::string description = "the lobby started beside lobbyctl.exe: " + folder + "data\\lobby.sock, then " +
                                    folder + "lobby.sock; else " + service + ", the service's";
    for (const std::string& path : {folder + "data\\lobby.sock", folder + "lobby.sock"}) {
        if (PipeIsThere(path))
            return DefaultConsole{path, description};
    }
    return DefaultConsole{service, description};
}

} // namespace lobby
