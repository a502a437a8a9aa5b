#include "net/udp_socket.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <utility>
#include <vector>

#include "net/socket_error.h"
#include "platform/posix/file_descriptor.h"

namespace lobby {

struct UdpSocket::State {
    FileDescriptor fd;
    // SendMany's records, kept from call to call so a batch allocates nothing.
    std::vector<mmsghdr> records;
    std::vector<iovec> pieces;
    std::vector<sockaddr_in> addresses;
    // ReceiveMany's records, likewise.
    std::vector<mmsghdr> receiveRecords;
    std::vector<iovec> receivePieces;
    std::vector<sockaddr_in> sources;
};

void UdpSocket::StateDeleter::operator()(State* state) const noexcept { delete state; }

UdpSocket UdpSocket::Open(int& error) noexcept
{
    // Close-on-exec: the server may start other programs, which must not inherit its port.
    FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    error = fd.IsOpen() ? 0 : errno;
    if (!fd.IsOpen())
        return UdpSocket();
    auto state = std::make_unique<State>();
    state->fd = std::move(fd);
    return UdpSocket(state.release());
}

bool UdpSocket::IsOpen() const noexcept
{
    return state_ && state_->fd.IsOpen();
}

EventLoop::Watchable UdpSocket::Watchable() const noexcept
{
    return state_ ? state_->fd.Get() : -1;
}

void UdpSocket::ClearReady() noexcept {}

void UdpSocket::Close() noexcept
{
    if (state_)
        state_->fd.Close();
}

std::uint32_t UdpSocket::InetAddr(const char* text) noexcept
{
    return ::inet_addr(text);
}

int UdpSocket::Bind(std::uint16_t port, std::uint32_t address) noexcept
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = address;
    if (::bind(state_->fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return errno;
    return 0;
}

std::uint16_t UdpSocket::BoundPort() const noexcept
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(state_->fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

UdpSocket::Received UdpSocket::ReceiveFrom(char* buffer, std::size_t capacity) noexcept
{
    Received result;
    sockaddr_in from{};
    for (;;) {
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC makes the result the datagram's real length, so a datagram longer than
        // the buffer is told apart from one that fits exactly.
        const ssize_t n = ::recvfrom(state_->fd.Get(), buffer, capacity, MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n >= 0) {
            result.length = n;
            result.fromAddress = from.sin_addr.s_addr;
            result.fromPort = ntohs(from.sin_port);
            return result;
        }
        result.error = errno;
        if (ClassifySocketError(result.error) != SocketErrorKind::Interrupted)
            return result;
    }
}

std::size_t UdpSocket::ReceiveMany(char* buffers, std::size_t capacity, std::span<Received> results) noexcept
{
    const std::size_t most = results.size();
    if (most == 0)
        return 0;
    State& state = *state_;
    state.receiveRecords.resize(most);
    state.receivePieces.resize(most);
    state.sources.resize(most);
    for (std::size_t i = 0; i < most; ++i) {
        state.receivePieces[i] = iovec{buffers + i * capacity, capacity};
        mmsghdr& record = state.receiveRecords[i];
        record = mmsghdr{};
        record.msg_hdr.msg_name = &state.sources[i];
        record.msg_hdr.msg_namelen = sizeof(sockaddr_in);
        record.msg_hdr.msg_iov = &state.receivePieces[i];
        record.msg_hdr.msg_iovlen = 1;
    }
    for (;;) {
        // MSG_TRUNC, as in ReceiveFrom: a datagram longer than its buffer reads as longer.
        const int taken = ::recvmmsg(state.fd.Get(), state.receiveRecords.data(), static_cast<unsigned>(most),
                                     MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (taken < 0) {
            results[0] = Received{};
            results[0].error = errno;
            if (ClassifySocketError(results[0].error) == SocketErrorKind::Interrupted)
                continue;
            return 0;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(taken); ++i) {
            const mmsghdr& record = state.receiveRecords[i];
            std::int64_t length = record.msg_len;
            if ((record.msg_hdr.msg_flags & MSG_TRUNC) != 0)
                length = std::max<std::int64_t>(length, static_cast<std::int64_t>(capacity) + 1);
            results[i] = Received{length, 0, state.sources[i].sin_addr.s_addr, ntohs(state.sources[i].sin_port)};
        }
        return static_cast<std::size_t>(taken);
    }
}

int UdpSocket::SendTo(const void* data, std::size_t size, std::uint32_t address, std::uint16_t port) noexcept
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = address;
    for (;;) {
        if (::sendto(state_->fd.Get(), data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0)
            return 0;
        const int error = errno;
        if (ClassifySocketError(error) != SocketErrorKind::Interrupted)
            return error;
    }
}

std::size_t UdpSocket::SendMany(std::span<const OutgoingDatagram> datagrams, std::uint16_t port) noexcept
{
    const std::size_t count = datagrams.size();
    State& state = *state_;
    // Sized before any pointer into them is taken, so the records point at stable entries.
    state.records.resize(count);
    state.pieces.resize(count);
    state.addresses.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        sockaddr_in& to = state.addresses[i];
        to = sockaddr_in{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = datagrams[i].address;
        state.pieces[i].iov_base = const_cast<char*>(datagrams[i].bytes.data());
        state.pieces[i].iov_len = datagrams[i].bytes.size();
        mmsghdr& record = state.records[i];
        record = mmsghdr{};
        record.msg_hdr.msg_name = &to;
        record.msg_hdr.msg_namelen = sizeof to;
        record.msg_hdr.msg_iov = &state.pieces[i];
        record.msg_hdr.msg_iovlen = 1;
    }
    std::size_t refused = 0;
    for (std::size_t next = 0; next < count;) {
        // The system takes at most 1024 records a call and quietly ignores the rest.
        const unsigned batch = static_cast<unsigned>(std::min<std::size_t>(count - next, 1024));
        const int sent = ::sendmmsg(state.fd.Get(), state.records.data() + next, batch, 0);
        if (sent > 0) {
            next += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && ClassifySocketError(errno) == SocketErrorKind::Interrupted)
            continue;
        // The call stopped at the first datagram it could not send: that one is lost, as one
        // lost on the way would be, and the rest go on.
        ++refused;
        ++next;
    }
    return refused;
}

} // namespace lobby
