#include "net/udp_socket.h"

#include <utility>

#include "net/win32/winsock_udp.h"

namespace lobby {

// Windows has no sendmmsg: a batch goes one sendto a datagram, which is what Windows
// Sockets offer short of registered I/O.
struct UdpSocket::State {
    win32::WinsockSession session; // held for as long as the socket is
    win32::WinUdpSocket socket;
};

void UdpSocket::StateDeleter::operator()(State* state) const noexcept { delete state; }

UdpSocket UdpSocket::Open(int& error) noexcept
{
    std::unique_ptr<State> state;
    try {
        state = std::make_unique<State>();
    } catch (...) {
        // No session (or no memory): the endpoint reports the number it is given.
        error = WSASYSNOTREADY;
        return UdpSocket();
    }
    state->socket = win32::WinUdpSocket::Open(error);
    if (!state->socket.IsOpen())
        return UdpSocket();
    return UdpSocket(state.release());
}

bool UdpSocket::IsOpen() const noexcept
{
    return state_ && state_->socket.IsOpen();
}

EventLoop::Watchable UdpSocket::Watchable() const noexcept
{
    return state_ ? reinterpret_cast<EventLoop::Watchable>(state_->socket.ReadyEvent()) : 0;
}

void UdpSocket::ClearReady() noexcept
{
    if (state_)
        state_->socket.ClearReady();
}

int UdpSocket::Bind(std::uint16_t port, std::uint32_t address) noexcept
{
    return state_->socket.Bind(port, address);
}

std::uint16_t UdpSocket::BoundPort() const noexcept
{
    return state_ ? state_->socket.BoundPort() : 0;
}

UdpSocket::Received UdpSocket::ReceiveFrom(char* buffer, std::size_t capacity) noexcept
{
    const win32::WinUdpSocket::Received got = state_->socket.ReceiveFrom(buffer, capacity);
    return Received{got.length, got.error, got.fromAddress, got.fromPort};
}

// Windows has no recvmmsg either: one non-blocking receive a datagram, until none is queued.
std::size_t UdpSocket::ReceiveMany(char* buffers, std::size_t capacity, std::span<Received> results) noexcept
{
    std::size_t taken = 0;
    while (taken < results.size()) {
        const Received got = ReceiveFrom(buffers + taken * capacity, capacity);
        if (got.length >= 0) {
            results[taken++] = got;
            continue;
        }
        if (taken == 0) {
            results[0] = got;
            return 0;
        }
        // Nothing more queued ends the batch quietly; any other failure is told in its place.
        if (win32::ClassifyWinsockError(got.error) != win32::WinsockErrorKind::WouldBlock)
            results[taken++] = got;
        return taken;
    }
    return taken;
}

int UdpSocket::SendTo(const void* data, std::size_t size, std::uint32_t address, std::uint16_t port) noexcept
{
    return state_->socket.SendTo(data, size, address, port);
}

std::size_t UdpSocket::SendMany(std::span<const OutgoingDatagram> datagrams, std::uint16_t port) noexcept
{
    std::size_t refused = 0;
    for (const OutgoingDatagram& datagram : datagrams)
        if (state_->socket.SendTo(datagram.bytes.data(), datagram.bytes.size(), datagram.address, port) != 0)
            ++refused;
    return refused;
}

void UdpSocket::Close() noexcept
{
    if (state_)
        state_->socket.Close();
}

std::uint32_t UdpSocket::InetAddr(const char* text) noexcept
{
    return ::inet_addr(text);
}

} // namespace lobby
