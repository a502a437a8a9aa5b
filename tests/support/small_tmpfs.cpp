#include "support/small_tmpfs.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {

SmallTmpfs::SmallTmpfs(const std::string& mountPoint, std::size_t sizeBytes)
{
    if (::geteuid() != 0) {
        failure_ = "not running as root, so no file system can be mounted";
        return;
    }
    // The helper tells through this pipe whether its mount worked: one byte, 0 for yes, or
    // the errno of the step that failed.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        failure_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const std::string options = "size=" + std::to_string(sizeBytes) + ",mode=0755";
    holder_ = ::fork();
    if (holder_ < 0) {
        failure_ = std::string("fork: ") + std::strerror(errno);
        ::close(ready[0]);
        ::close(ready[1]);
        return;
    }
    if (holder_ == 0) {
        // The helper: only system calls from here on. Mount changes stay in the new namespace
        // because "/" is made private first.
        ::close(ready[0]);
        unsigned char status = 0;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("lobby-test-tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            status = static_cast<unsigned char>(errno == 0 ? 255 : errno);
        (void)!::write(ready[1], &status, 1);
        ::close(ready[1]);
        if (status != 0)
            ::_exit(1);
        // Holds the namespace until the test is done with it (bounded: ten minutes at most).
        for (int i = 0; i < 600; ++i)
            ::poll(nullptr, 0, 1000);
        ::_exit(0);
    }
    ::close(ready[1]);
    unsigned char status = 255;
    pollfd watched{ready[0], POLLIN, 0};
    if (::poll(&watched, 1, 10000) == 1)
        (void)!::read(ready[0], &status, 1);
    ::close(ready[0]);
    if (status != 0) {
        failure_ = std::string("cannot mount a tmpfs in a private mount namespace: ") + std::strerror(status);
        return;
    }
    const std::string name = "/proc/" + std::to_string(holder_) + "/ns/mnt";
    namespaceFd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (namespaceFd_ < 0)
        failure_ = "cannot open " + name + ": " + std::strerror(errno);
}

SmallTmpfs::~SmallTmpfs()
{
    if (namespaceFd_ >= 0)
        ::close(namespaceFd_);
    if (holder_ > 0) {
        ::kill(holder_, SIGKILL);
        int status = 0;
        ::waitpid(holder_, &status, 0);
    }
}

std::string SmallTmpfs::Path(const std::string& path) const
{
    return "/proc/" + std::to_string(holder_) + "/root" + path;
}

} // namespace test_support
