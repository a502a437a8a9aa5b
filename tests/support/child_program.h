#pragma once

// Another program run as a child of the test, with its standard output and error captured,
// for tests that check a built program whole (the server, the client, the load generator) or
// drive tools (the X server, screenshots, text recognition). Every wait has a limit; the
// destructor kills a child that still runs, so no test leaves one behind.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "platform/posix/file_descriptor.h"

namespace test_support {

using namespace lobby;

// One change to the child's environment: set name to the value, or remove it when the value
// is nothing.
using EnvironmentChange = std::pair<std::string, std::optional<std::string>>;

// A file or folder mounted over another path for the child alone.
struct BindMount {
    std::string source;
    std::string target;
};

// How a child starts, beyond its arguments. ChildProgram turns all of it into plain arrays
// and open descriptors before it forks, so that the new process, which may be forked from a
// test with threads running, makes system calls only until the program replaces it.
struct ChildSetup {
    std::vector<EnvironmentChange> environment{}; // applied to this process's environment
    std::string folder{};                         // where it starts; empty: this process's folder
    std::string errorFile{};                      // standard error made anew there, not kept in Err()
    int mountNamespace = -1;                      // an open /proc/PID/ns/mnt entered first
    std::vector<BindMount> bindMounts{};          // in a mount namespace of its own, after that
};

class ChildProgram {
public:
    // Starts arguments[0] (looked up in PATH when it holds no "/") with arguments, with this
    // process's environment plus setup's changes, standard input from /dev/null. Raises
    // std::runtime_error when no process can be made or the error file cannot be; a child
    // ends with status 125 when its mounts fail, 126 when it cannot enter its folder, 127
    // when the program cannot be started.
    explicit ChildProgram(const std::vector<std::string>& arguments, const ChildSetup& setup = {});
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
    FileDescriptor outFd_; // closed at the end of the stream
    FileDescriptor errFd_; // never open when standard error goes to a file
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
                         const ChildSetup& setup = {});

// Whether an executable of that name is in one of PATH's folders.
bool ProgramInPath(const std::string& name);

// A port on 127.0.0.1 that was free a moment ago (the system picks it; the socket that held
// it is closed again), for programs that must be told a port rather than report the one they
// got.
std::uint16_t FreeLoopbackPort();

} // namespace test_support
