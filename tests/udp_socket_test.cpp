// The datagram socket's bind to one local address, which lobby-client's --from stands on.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>

#include <gtest/gtest.h>

#include "net/udp_socket.h"

namespace {

using namespace lobby;

std::uint32_t Address(const char* text)
{
    return ::inet_addr(text);
}

TEST(UdpSocketBind, TakesOneLocalAddressAndSaysWhyNot)
{
    int error = 0;
    UdpSocket holder = UdpSocket::Open(error);
    ASSERT_TRUE(holder.IsOpen()) << error;
    ASSERT_EQ(holder.Bind(0, Address("127.0.0.1")), 0);
    const std::uint16_t taken = holder.BoundPort();
    ASSERT_NE(taken, 0);

    const struct {
        const char* name;
        const char* address;
        bool takenPort;
        int error; // 0: bound
    } cases[] = {
        {"a loopback address", "127.0.0.2", false, 0},
        {"every address", "0.0.0.0", false, 0},
        {"an address of no interface here", "192.0.2.1", false, EADDRNOTAVAIL},
        {"a port another socket holds there", "127.0.0.1", true, EADDRINUSE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UdpSocket socket = UdpSocket::Open(error);
        ASSERT_TRUE(socket.IsOpen());
        EXPECT_EQ(socket.Bind(c.takenPort ? taken : 0, Address(c.address)), c.error);
        EXPECT_EQ(socket.BoundPort() != 0, c.error == 0);
    }
}

} // namespace
