#pragma once

#include <functional>

namespace lobby::win32 {

// Runs the program as a Windows service: hands the thread to the service manager
// (StartServiceCtrlDispatcher), and on the service's own thread reports it running and calls
// run, whose return is the service's exit code. A stop, or the machine shutting down, is
// handed to the lobby as a Ctrl+Break (ConsoleControl), so it closes as an operator's Ctrl+C
// closes it: the log closed and the registry saved before the service reports it stopped.
// Returns run's exit code; 1 with a line on standard error when the program was not started
// by the service manager.
int RunAsService(std::function<int()> run);

} // namespace lobby::win32
