#pragma once

// Helpers for tests that run real sockets on the loopback interface: a plain POSIX peer
// socket, and bounded pumping of an event loop (PumpUntil of support/pump.h, and PumpFor).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event_loop.h"
#include "support/pump.h"

namespace test_support {

using namespace lobby;

// A datagram as a loopback peer received it.
struct PeerDatagram {
    std::string bytes;
    std::string fromIp;
    std::uint16_t fromPort = 0;
};

// A UDP socket bound to a loopback address and a port the system picks (or port, so that
// peers on several addresses can share the one port the server answers on).
class LoopbackPeer {
public:
    explicit LoopbackPeer(const char* ip = "127.0.0.1", std::uint16_t port = 0);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    std::uint16_t Port() const;
    const std::string& Ip() const { return ip_; }
    int Fd() const { return fd_; }

    // Sends to 127.0.0.1:port; fails the test when the system refuses.
    void SendTo(std::uint16_t port, std::string_view bytes) const;
    // Waits at most timeoutMs for one datagram.
    std::optional<PeerDatagram> Receive(int timeoutMs = 2000) const;

private:
    std::string ip_;
    int fd_ = -1;
};

// Dispatches the loop's events for about periodMs, for checks that something did NOT happen.
void PumpFor(EventLoop& loop, int periodMs);

} // namespace test_support
