#include <cerrno>

#include <gtest/gtest.h>

#include "support/udp_bind_cases.h"

TEST(UdpSocketBind, TakesOneLocalAddressAndSaysWhyNot)
{
    test_support::CheckBindsToOneAddress(EADDRNOTAVAIL, EADDRINUSE);
}
