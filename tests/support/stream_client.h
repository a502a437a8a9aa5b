// A test's client end of a stream socket (TCP on loopback, or a local socket by its path):
// sends without blocking and reads what the server sends until it closes.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "platform/posix/file_descriptor.h"

namespace test_support {

// Appends to received what fd has ready; true once the other end has closed.
inline bool TakeUntilClosed(int fd, std::string& received)
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            received.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
}

struct StreamClient {
    // Connects to 127.0.0.1:port.
    explicit StreamClient(int port) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    // Connects to the local socket at path.
    explicit StreamClient(const std::string& path) : fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    void Send(const std::string& bytes) { ::send(fd.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT); }
    // Takes what arrived; true once the server has closed.
    bool Closed() { return TakeUntilClosed(fd.Get(), received); }

    lobby::FileDescriptor fd;
    std::string received;
};

} // namespace test_support
