#pragma once

// The datagram socket's bind to one local address (lobby-client's --from stands on it),
// checked the same way on every system: each system's test gives its own error numbers.
// Header only, so that the Windows tests take it without the POSIX helpers beside it.

#include <cstdint>
#include <optional>

#include <gtest/gtest.h>

#include "net/udp_socket.h"

namespace test_support {

// notLocalError: what binding an address of no interface here gives; nothing where the system
// under test cannot be asked (Wine binds it).
inline void CheckBindsToOneAddress(std::optional<int> notLocalError, int takenError)
{
    using lobby::UdpSocket;
    int error = 0;
    UdpSocket holder = UdpSocket::Open(error);
    ASSERT_TRUE(holder.IsOpen()) << error;
    ASSERT_EQ(holder.Bind(0, UdpSocket::InetAddr("127.0.0.1")), 0);
    const std::uint16_t taken = holder.BoundPort();
    ASSERT_NE(taken, 0);

    const struct {
        const char* name;
        const char* address; // nullptr: the case is left out
        bool takenPort;
        int error; // 0: bound
    } cases[] = {
        {"a loopback address", "127.0.0.1", false, 0},
        {"every address", "0.0.0.0", false, 0},
        {"an address of no interface here", notLocalError ? "192.0.2.1" : nullptr, false, notLocalError.value_or(0)},
        {"a port another socket holds there", "127.0.0.1", true, takenError},
    };
    for (const auto& c : cases) {
        if (c.address == nullptr)
            continue;
        SCOPED_TRACE(c.name);
        UdpSocket socket = UdpSocket::Open(error);
        ASSERT_TRUE(socket.IsOpen());
        EXPECT_EQ(socket.Bind(c.takenPort ? taken : 0, UdpSocket::InetAddr(c.address)), c.error);
        EXPECT_EQ(socket.BoundPort() != 0, c.error == 0);
    }
}

} // namespace test_support
