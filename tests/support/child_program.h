#pragma once

// Another program run as a child of the test, with its standard output and error captured,
// for tests that check a built program whole or drive tools (the X server, screenshots,
// text recognition). Every wait has a limit; the destructor kills a child that still runs,
// so no test leaves one behind.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace test_support {

// One change to the child's environment: set name to the value, or remove it when the value
// is nothing.
using EnvironmentChange = std::pair<std::string, std::optional<std::string>>;

class ChildProgram {
public:
    // Starts arguments[0] (looked up in PATH when it holds no "/") with arguments, in the
    // current folder, with this process's environment plus changes, standard input from
    // /dev/null. Raises std::runtime_error when no process can be made; a program that cannot
    // be started ends with status 127.
    explicit ChildProgram(const std::vector<std::string>& arguments, const std::vector<EnvironmentChange>& changes = {});
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram();

    // Reads the child's output until done(standard output so far) holds or timeout passed;
    // returns done's last answer.
    bool WaitForOutput(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout);

    // The exit status once the child has ended within timeout (128 + the number for a
    // signal), reading its output meanwhile; nothing while it still runs.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);

    void Signal(int number);
    pid_t Pid() const { return pid_; }
    const std::string& Out() const { return out_; }
    const std::string& Err() const { return err_; }

private:
    // Moves whatever the pipes hold into out_ and err_, waiting at most timeoutMs for some.
    void ReadOutput(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::optional<int> status_;
    std::string out_;
    std::string err_;
};

struct ProgramResult {
    std::optional<int> status; // nothing when the program had to be killed at the time limit
    std::string out;
    std::string err;
};

// Runs a program to its end (killed after timeout) and returns what it printed.
ProgramResult RunProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                         const std::vector<EnvironmentChange>& changes = {});

// Whether an executable of that name is in one of PATH's folders.
bool ProgramInPath(const std::string& name);

// A port on 127.0.0.1 that was free a moment ago (the system picks it; the socket that held
// it is closed again), for programs that must be told a port rather than report the one they
// got.
std::uint16_t FreeLoopbackPort();

} // namespace test_support
