#include "support/loopback.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace lobby;

namespace test_support {

LoopbackPeer::LoopbackPeer(const char* ip, std::uint16_t port) : ip_(ip)
{
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd_, 0) << "socket";
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ::inet_addr(ip);
    local.sin_port = htons(port);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << "bind " << ip;
}

LoopbackPeer::~LoopbackPeer()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::uint16_t LoopbackPeer::Port() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

void LoopbackPeer::SendTo(std::uint16_t port, std::string_view bytes) const
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    EXPECT_EQ(sent, static_cast<ssize_t>(bytes.size())) << "sendto port " << port;
}

std::optional<PeerDatagram> LoopbackPeer::Receive(int timeoutMs) const
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1)
        return std::nullopt;
    char buffer[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0)
        return std::nullopt;
    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    return PeerDatagram{std::string(buffer, static_cast<std::size_t>(n)), ip, ntohs(from.sin_port)};
}

void PumpFor(EventLoop& loop, int periodMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs);
    while (std::chrono::steady_clock::now() < deadline)
        loop.ProcessEvents(10);
}

} // namespace test_support
