#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/posix/file_descriptor.h"

struct mmsghdr;

namespace lobby {

// One IPv4 datagram socket, owned: the descriptor is closed when the object goes. Calls
// report failure by returning the errno value (0 on success) rather than raising, because
// the endpoint decides per call whether and how a failure reaches its owner.
//
// The socket is blocking for sends (a full send buffer delays a datagram instead of
// dropping it); receives never wait (see ReceiveFrom).
class UdpSocket {
public:
    // A datagram as ReceiveFrom found it.
    struct Received {
        // Length of the whole datagram, even when it was longer than the buffer and only
        // the buffer's worth was stored; -1 when the receive failed.
        std::int64_t length = -1;
        int error = 0;                  // errno when length is -1
        std::uint32_t fromAddress = 0;  // sender's IPv4 address, network byte order
        std::uint16_t fromPort = 0;     // sender's port, host byte order
    };

    UdpSocket() noexcept = default; // holds no descriptor

    // Creates a new unbound socket. On failure returns one that is not open and sets error.
    static UdpSocket Open(int& error) noexcept;

    bool IsOpen() const noexcept { return fd_.IsOpen(); }
    int Fd() const noexcept { return fd_.Get(); }

    // Binds to port (host byte order; 0 lets the system choose) on every local address.
    int Bind(std::uint16_t port) noexcept;

    // The port the socket is bound to, or 0 when it is not bound.
    std::uint16_t BoundPort() const noexcept;

    // Takes one queued datagram without waiting, storing at most capacity bytes of it; the
    // rest of a longer datagram is discarded by the system. When nothing is queued, length
    // is -1 and error is the "would block" number.
    Received ReceiveFrom(char* buffer, std::size_t capacity) noexcept;

    // Sends size bytes as one datagram to address (network byte order) and port (host byte
    // order). Returns 0 once the system has taken the datagram.
    int SendTo(const void* data, std::size_t size, std::uint32_t address, std::uint16_t port) noexcept;

    // Sends count prepared datagrams (sendmmsg's records, each naming its destination) in
    // order, as many to a call as the system takes. A datagram the system refuses is skipped
    // and the rest still go. Returns how many were refused.
    std::size_t SendMany(mmsghdr* datagrams, std::size_t count) noexcept;

    // Closes the descriptor now; a closed socket can be closed again. The descriptor is gone
    // whatever close reports, so there is nothing to retry or report.
    void Close() noexcept { fd_.Close(); }

private:
    explicit UdpSocket(FileDescriptor fd) noexcept : fd_(std::move(fd)) {}

    FileDescriptor fd_;
};

} // namespace lobby
