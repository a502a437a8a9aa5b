#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// The built lobby-server run as a child process, for tests that check the program whole.
// Its standard error goes to a file the test can read; the destructor kills it if it still
// runs, so no test leaves a server behind.
class ServerProcess {
public:
    // Starts program with arguments, in workingFolder, with LC_ALL=C and no display (so it
    // runs headless), standard error to stderrPath. inChild, when given, runs in the new
    // process just before the program replaces it (to enter a namespace, say); it may use
    // system calls only, and the child ends with status 125 when it returns false.
    ServerProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::string& workingFolder, const std::string& stderrPath,
                  const std::function<bool()>& inChild = {});
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess();

    // The exit status once the process has ended within timeout; nothing if it still runs.
    // A process ended by a signal reads as 128 + the signal's number.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
    void Signal(int number);
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Path of the built server.
std::string ServerProgramPath();
