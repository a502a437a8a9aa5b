#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "net/datagram_endpoint.h"
#include "platform/event_loop.h"

namespace lobby {

// One IPv4 datagram socket, owned: closed when the object goes. Calls report failure by
// returning the system's error number (0 on success) rather than raising, because the
// endpoint decides per call whether and how a failure reaches its owner. Each system has its
// own file (net/linux/, net/win32/); what they keep is hidden in State, so no system header
// reaches the endpoint.
//
// Sends wait for buffer room (a full send buffer delays a datagram instead of dropping it);
// receives never wait (see ReceiveFrom).
class UdpSocket {
public:
    // A datagram as ReceiveFrom found it.
    struct Received {
        // Length of the whole datagram, or more than capacity when it was longer than the
        // buffer and only the buffer's worth was stored; -1 when the receive failed.
        std::int64_t length = -1;
        int error = 0;                  // the system's error number when length is -1
        std::uint32_t fromAddress = 0;  // sender's IPv4 address, network byte order
        std::uint16_t fromPort = 0;     // sender's port, host byte order
    };

    UdpSocket() noexcept = default; // holds no socket
    ~UdpSocket() = default;
    UdpSocket(UdpSocket&& other) noexcept = default;
    UdpSocket& operator=(UdpSocket&& other) noexcept = default;

    // Creates a new unbound socket. On failure returns one that is not open and sets error.
    static UdpSocket Open(int& error) noexcept;

    bool IsOpen() const noexcept;
    // What the loop watches for datagrams: the descriptor on POSIX, the socket's ready event
    // on Windows.
    EventLoop::Watchable Watchable() const noexcept;
    // Called by the readable callback before it receives: Windows keeps its ready event
    // signalled until then (a datagram arriving later signals it again); POSIX has nothing to do.
    void ClearReady() noexcept;

    // Binds to port (host byte order; 0 lets the system choose) on address (network byte
    // order; 0 is every local address).
    int Bind(std::uint16_t port, std::uint32_t address = 0) noexcept;

    // The port the socket is bound to, or 0 when it is not bound.
    std::uint16_t BoundPort() const noexcept;

    // Takes one queued datagram without waiting, storing at most capacity bytes of it; the
    // rest of a longer datagram is discarded by the system. When nothing is queued, length
    // is -1 and error is the "would block" number.
    Received ReceiveFrom(char* buffer, std::size_t capacity) noexcept;

    // Takes up to results.size() queued datagrams without waiting, with as few system calls
    // as the system allows: the i-th is stored at buffers + i * capacity (at most capacity
    // bytes of it) and told in results[i] as ReceiveFrom tells one. Returns how many were
    // taken. When none was, results[0] says why (the "would block" number when nothing is
    // queued). A receive that fails after some were taken ends the batch: it is the last
    // entry, so it is told in its place.
    std::size_t ReceiveMany(char* buffers, std::size_t capacity, std::span<Received> results) noexcept;

    // Sends size bytes as one datagram to address (network byte order) and port (host byte
    // order). Returns 0 once the system has taken the datagram.
    int SendTo(const void* data, std::size_t size, std::uint32_t address, std::uint16_t port) noexcept;

    // Sends the datagrams in order to their addresses at port (host byte order), with as few
    // system calls as the system allows. A datagram the system refuses is skipped and the
    // rest still go. Returns how many were refused.
    std::size_t SendMany(std::span<const OutgoingDatagram> datagrams, std::uint16_t port) noexcept;

    // Closes the socket now; a closed socket can be closed again. The socket is gone
    // whatever the system reports, so there is nothing to retry or report.
    void Close() noexcept;

    // inet_addr's reading of text: the address in network byte order, or 0xFFFFFFFF when
    // the text is no address (or is 255.255.255.255).
    static std::uint32_t InetAddr(const char* text) noexcept;

private:
    struct State;
    // Deletes State in the system's file, where it is whole, so that the moves and the
    // destructor need not see it.
    struct StateDeleter {
        void operator()(State* state) const noexcept;
    };
    explicit UdpSocket(State* state) noexcept : state_(state) {}

    std::unique_ptr<State, StateDeleter> state_;
};

} // namespace lobby
