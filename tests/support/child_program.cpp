#include "support/child_program.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lobby;

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

// The first executable named name in PATH's folders.
std::optional<std::string> SearchPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return std::nullopt;
    const std::string folders = path;
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::filesystem::path candidate = std::filesystem::path(folders.substr(start, end - start)) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
        start = end + 1;
    }
    return std::nullopt;
}

// Opens path with flags (O_CLOEXEC added: only what dup2 places survives the exec).
FileDescriptor Open(const std::string& path, int flags)
{
    FileDescriptor fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
    if (!fd.IsOpen())
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    return fd;
}

// A pipe whose ends both close on exec.
std::pair<FileDescriptor, FileDescriptor> Pipe()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe failed: ") + std::strerror(errno));
    return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

// Appends what fd holds now; closes it at the end of the stream.
void ReadAvailable(FileDescriptor& fd, std::string& into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        fd.Close();
        return;
    }
}

} // namespace

ChildProgram::ChildProgram(const std::vector<std::string>& arguments, const ChildSetup& setup)
{
    if (arguments.empty())
        throw std::invalid_argument("ChildProgram needs a program");
    // Everything the child needs is made here, before fork: the test process may have
    // threads (host-name lookups, the registry's saver, the log's keeper), and one of them
    // may hold a lock (malloc's, the environment's) that the child would wait on for ever.
    // Between fork and exec the child makes system calls only, on what is ready below.
    const std::string& name = arguments[0];
    const std::optional<std::string> program = name.find('/') != std::string::npos ? name : SearchPath(name);
    std::vector<std::string> argv = arguments;
    std::vector<std::string> environment = ChangedEnvironment(setup.environment);
    const std::vector<char*> argvPointers = Pointers(argv);
    const std::vector<char*> environmentPointers = Pointers(environment);
    const char* const folder = setup.folder.empty() ? nullptr : setup.folder.c_str();
    const FileDescriptor input = Open("/dev/null", O_RDONLY);
    auto [outRead, outWrite] = Pipe();
    auto [errRead, errWrite] = setup.errorFile.empty()
                                   ? Pipe()
                                   : std::pair(FileDescriptor(), Open(setup.errorFile, O_WRONLY | O_CREAT | O_TRUNC));

    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (pid_ == 0) {
        ::dup2(input.Get(), STDIN_FILENO);
        ::dup2(outWrite.Get(), STDOUT_FILENO);
        ::dup2(errWrite.Get(), STDERR_FILENO);
        if (setup.mountNamespace >= 0 && ::setns(setup.mountNamespace, CLONE_NEWNS) != 0)
            ::_exit(125);
        if (!setup.bindMounts.empty()) {
            // Private first, so that the mounts stay in the child's namespace.
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                ::_exit(125);
            for (const BindMount& mount : setup.bindMounts) {
                if (::mount(mount.source.c_str(), mount.target.c_str(), nullptr, MS_BIND, nullptr) != 0)
                    ::_exit(125);
            }
        }
        if (folder != nullptr && ::chdir(folder) != 0)
            ::_exit(126);
        if (program)
            ::execve(program->c_str(), argvPointers.data(), environmentPointers.data());
        ::_exit(127);
    }
    outFd_ = std::move(outRead);
    errFd_ = std::move(errRead);
    ::fcntl(outFd_.Get(), F_SETFL, O_NONBLOCK);
    if (errFd_.IsOpen())
        ::fcntl(errFd_.Get(), F_SETFL, O_NONBLOCK);
}

ChildProgram::~ChildProgram()
{
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

void ChildProgram::ReadOutput(int timeoutMs)
{
    // poll passes over a closed end's -1.
    pollfd watched[2] = {{outFd_.Get(), POLLIN, 0}, {errFd_.Get(), POLLIN, 0}};
    if (!outFd_.IsOpen() && !errFd_.IsOpen())
        return;
    if (::poll(watched, 2, timeoutMs) <= 0)
        return;
    if (outFd_.IsOpen() && watched[0].revents != 0)
        ReadAvailable(outFd_, out_);
    if (errFd_.IsOpen() && watched[1].revents != 0)
        ReadAvailable(errFd_, err_);
}

bool ChildProgram::WaitForOutput(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!done(out_)) {
        if (Clock::now() >= deadline)
            return false;
        if (!outFd_.IsOpen() && !errFd_.IsOpen())
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
        if (!outFd_.IsOpen() && !errFd_.IsOpen())
            ::usleep(10000); // both pipes ended: no reading left to pace the loop
    }
    const auto readDeadline = Clock::now() + std::chrono::milliseconds(kFinalReadMs);
    while ((outFd_.IsOpen() || errFd_.IsOpen()) && Clock::now() < readDeadline)
        ReadOutput(MillisecondsLeft(readDeadline));
    return status_;
}

void ChildProgram::Signal(int number)
{
    if (pid_ > 0 && !status_)
        ::kill(pid_, number);
}

ProgramResult RunProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                         const ChildSetup& setup)
{
    ChildProgram child(arguments, setup);
    ProgramResult result;
    result.status = child.WaitForExit(timeout);
    result.out = child.Out();
    result.err = child.Err();
    return result;
}

bool ProgramInPath(const std::string& name)
{
    return SearchPath(name).has_value();
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
