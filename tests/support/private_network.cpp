#include "support/private_network.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace test_support {

PrivateNetwork::PrivateNetwork()
{
    if (::geteuid() != 0) {
        failure_ = "not running as root, so no private network namespace can be made";
        return;
    }
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0) {
        failure_ = std::string("cannot open /proc/thread-self/ns/net: ") + std::strerror(errno);
        return;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        failure_ = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
        return;
    }
    entered_ = true;
    // What "ip link set lo up" does.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (fd < 0 || ::ioctl(fd, SIOCGIFFLAGS, &request) != 0 ||
        (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) != 0))
        failure_ = std::string("cannot bring the loopback interface up: ") + std::strerror(errno);
    if (fd >= 0)
        ::close(fd);
}

PrivateNetwork::~PrivateNetwork()
{
    if (entered_ && ::setns(original_, CLONE_NEWNET) != 0)
        ADD_FAILURE() << "cannot return to the original network namespace: " << std::strerror(errno);
    if (original_ >= 0)
        ::close(original_);
}

} // namespace test_support
