#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <string>

namespace test_support {

// The IPv4 socket address of a dotted quad and a port, for tests and benchmarks that talk to
// a server program over real sockets.
inline sockaddr_in Ipv4Address(const std::string& ip, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return address;
}

} // namespace test_support
