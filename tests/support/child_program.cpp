#include "support/child_program.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace test_support {

namespace {

using Clock = std::chrono::steady_clock;

// After the child has ended, output still in the pipes is read for at most this long (a
// grandchild could keep a pipe open for ever).
constexpr int kFinalReadMs = 1000;

// Whole milliseconds until deadline, 0 once it has passed.
int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1000000));
}

// This process's environment, "NAME=value" each, with changes applied.
std::vector<std::string> ChangedEnvironment(const std::vector<EnvironmentChange>& changes)
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        const bool changed = std::any_of(changes.begin(), changes.end(), [&](const auto& c) { return c.first == name; });
        if (!changed)
            environment.push_back(text);
    }
    for (const auto& [name, value] : changes)
        if (value)
            environment.push_back(name + "=" + *value);
    return environment;
}

// The argv-style array for exec: pointers into words, then a null; valid while words is.
std::vector<char*> Pointers(std::vector<std::string>& words)
{
    std::vector<char*> pointers;
    for (std::string& word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Appends what fd holds now; closes it and sets it to -1 at the end of the stream.
void ReadAvailable(int& fd, std::string& into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        ::close(fd);
        fd = -1;
        return;
    }
}

} // namespace

ChildProgram::ChildProgram(const std::vector<std::string>& arguments, const std::vector<EnvironmentChange>& changes)
{
    if (arguments.empty())
        throw std::invalid_argument("ChildProgram needs a program");
    // Everything the child needs is made before fork: between fork and exec only
    // async-signal-safe calls are allowed, and the test process may have threads.
    std::vector<std::string> argv = arguments;
    std::vector<std::string> environment = ChangedEnvironment(changes);
    const std::vector<char*> argvPointers = Pointers(argv);
    const std::vector<char*> environmentPointers = Pointers(environment);

    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        for (const int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            ::close(fd);
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        ::execvpe(argvPointers[0], argvPointers.data(), environmentPointers.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    ::fcntl(outFd_, F_SETFL, O_NONBLOCK);
    ::fcntl(errFd_, F_SETFL, O_NONBLOCK);
}

ChildProgram::~ChildProgram()
{
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (outFd_ >= 0)
        ::close(outFd_);
    if (errFd_ >= 0)
        ::close(errFd_);
}

void ChildProgram::ReadOutput(int timeoutMs)
{
    pollfd watched[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0)
        return;
    if (::poll(watched, 2, timeoutMs) <= 0)
        return;
    if (outFd_ >= 0 && watched[0].revents != 0)
        ReadAvailable(outFd_, out_);
    if (errFd_ >= 0 && watched[1].revents != 0)
        ReadAvailable(errFd_, err_);
}

bool ChildProgram::WaitForOutput(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!done(out_)) {
        if (Clock::now() >= deadline)
            return false;
        if (outFd_ < 0 && errFd_ < 0)
            return false; // nothing more can come
        ReadOutput(std::min(MillisecondsLeft(deadline), 50));
    }
    return true;
}

std::optional<int> ChildProgram::WaitForExit(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= deadline)
            return std::nullopt;
        ReadOutput(std::min(MillisecondsLeft(deadline), 20));
        if (outFd_ < 0 && errFd_ < 0)
            ::usleep(10000); // both pipes ended: no reading left to pace the loop
    }
    const auto readDeadline = Clock::now() + std::chrono::milliseconds(kFinalReadMs);
    while ((outFd_ >= 0 || errFd_ >= 0) && Clock::now() < readDeadline)
        ReadOutput(MillisecondsLeft(readDeadline));
    return status_;
}

void ChildProgram::Signal(int number)
{
    if (pid_ > 0 && !status_)
        ::kill(pid_, number);
}

ProgramResult RunProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                         const std::vector<EnvironmentChange>& changes)
{
    ChildProgram child(arguments, changes);
    ProgramResult result;
    result.status = child.WaitForExit(timeout);
    result.out = child.Out();
    result.err = child.Err();
    return result;
}

bool ProgramInPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return false;
    const std::string folders = path;
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::filesystem::path candidate = std::filesystem::path(folders.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::uint16_t FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    ::close(fd);
    if (!bound)
        throw std::runtime_error("no free loopback port");
    return ntohs(local.sin_port);
}

} // namespace test_support
