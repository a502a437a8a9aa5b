#pragma once

// The server's run from start-up to shutdown, shared by its two programs: lobby-server,
// headless on the system's own loop and built without Qt, and lobby-server-window, which
// shows its window over Qt's loop when there is a display. Nothing here needs Qt.

#include <functional>
#include <optional>
#include <string>

#include "app/command_line.h"

namespace lobby {

class EventLoop;
class OperatorNotifier;
class TForm1;

// The window, as the run sees it: lobby-server-window implements it over Qt.
class ServerWindow {
public:
    virtual ~ServerWindow() = default;
    // Made before start-up, so that the grid follows the registry as it loads.
    virtual void Make(TForm1& form) = 0;
    // Shown once start-up succeeded; the errors held since start-up are shown once the loop runs.
    virtual void Show() = 0;
    // A start refused before the loop ran: the errors held since start-up are shown now.
    virtual void ShowHeldErrors() = 0;
    // A start ended for want of the access word, its registry written back and its log
    // closed: the errors held since start-up (a load's warnings, a failed write-back) are
    // shown now, as the process ends. By default as ShowHeldErrors.
    virtual void ShowHeldErrorsAtEnd() { ShowHeldErrors(); }
    virtual void Close() = 0;
};

// What differs between the window and the headless server.
struct FrontEnd {
    EventLoop& loop;
    OperatorNotifier& notifier;
    std::function<void()> runLoop;  // returns when the loop has been told to quit
    ProgramKind program;            // whose name stands before the lines on standard error
    ServerWindow* window = nullptr; // none when headless
};

// Builds the main window's form and its components, runs start-up, serves until told to
// close, and shuts down. Returns the exit status.
int RunServer(const CommandLine& commandLine, const std::string& exeName, FrontEnd frontEnd);

// The server on the system's own loop (epoll, or the wait on Windows), without a window; an
// error that keeps it from serving is one line on standard error and status 1.
int RunHeadless(const CommandLine& commandLine, const std::string& exeName, ProgramKind program);

// What both programs do first: read the command line, and answer --help and --version.
// Returns the exit status when the program is done already (a wrong command line: 2), or
// nothing when the server is to run.
std::optional<int> ReadCommandLine(int argc, char** argv, ProgramKind kind, CommandLine& commandLine);

// "program: text" on standard error, in one line.
void SayOnStandardError(ProgramKind kind, const std::string& text);

} // namespace lobby
