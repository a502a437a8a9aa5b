#include <gtest/gtest.h>
#include <winsock2.h>

#include "tests/support/udp_bind_cases.h"

TEST(UdpSocketBindOnWindows, TakesOneLocalAddressAndSaysWhyNot)
{
    // Windows refuses an address of no interface with WSAEADDRNOTAVAIL; Wine, which these
    // tests run under, binds it, so that case is left out here.
    test_support::CheckBindsToOneAddress(std::nullopt, WSAEADDRINUSE);
}
