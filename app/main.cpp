// lobby-server: the game lobby's server, headless. Started with the access word, it serves
// requests on UDP on the system's own loop until it gets SIGINT or SIGTERM (on Windows
// Ctrl+C, Ctrl+Break or the console closing). It is built without Qt, so a server machine
// needs no desktop libraries; lobby-server-window is the same server with its window.
#include "app/server_run.h"

using namespace lobby;

int main(int argc, char** argv)
{
    CommandLine commandLine;
    if (const auto done = ReadCommandLine(argc, argv, ProgramKind::Headless, commandLine))
        return *done;
    return RunHeadless(commandLine, argc > 0 ? argv[0] : "lobby-server", ProgramKind::Headless);
}
