#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <winsock2.h>

namespace lobby::win32 {

// Windows Sockets for the life of the object: WSAStartup in, WSACleanup out. The program
// holds one for as long as it has sockets; nested ones are counted by the system.
class WinsockSession {
public:
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

// How the endpoint reads a Windows Sockets error: the same four kinds as the POSIX layer.
enum class WinsockErrorKind { None, WouldBlock, Interrupted, Failure };
WinsockErrorKind ClassifyWinsockError(int error) noexcept;

// The wording the Linux endpoint gives for the same failure ("Address already in use" for a
// port taken), so operators and their scripts read one text on both systems; the system's
// own wording for errors Linux has no twin of.
std::string WinsockErrorReason(int error);

// One IPv4 datagram socket, owned, the Windows twin of the POSIX UdpSocket: calls return the
// error number (0 on success) instead of raising; receives never wait; sends wait for
// buffer room rather than drop. ReadyEvent() is signalled when datagrams arrive
// (WSAEventSelect), for the loop to watch; it stays signalled until ClearReady, which the
// loop's callback calls before it receives (a datagram arriving during the receives signals
// it again, so none is left unnoticed).
class WinUdpSocket {
public:
    struct Received {
        // The datagram's length; a datagram longer than the buffer reads as capacity + 1
        // (Windows does not tell the real length), -1 when the receive failed.
        std::int64_t length = -1;
        int error = 0;
        std::uint32_t fromAddress = 0; // network byte order
        std::uint16_t fromPort = 0;    // host byte order
    };

    WinUdpSocket() noexcept = default;
    ~WinUdpSocket() { Close(); }
    WinUdpSocket(WinUdpSocket&& other) noexcept;
    WinUdpSocket& operator=(WinUdpSocket&& other) noexcept;

    static WinUdpSocket Open(int& error) noexcept;
    bool IsOpen() const noexcept { return socket_ != INVALID_SOCKET; }
    HANDLE ReadyEvent() const noexcept { return ready_; }
    void ClearReady() noexcept { ::WSAResetEvent(ready_); }

    // Binds to port (host byte order; 0 lets the system choose) on address (network byte
    // order; 0 is every local address).
    int Bind(std::uint16_t port, std::uint32_t address = 0) noexcept;
    std::uint16_t BoundPort() const noexcept;
    Received ReceiveFrom(char* buffer, std::size_t capacity) noexcept;
    int SendTo(const void* data, std::size_t size, std::uint32_t address, std::uint16_t port) noexcept;
    void Close() noexcept;

private:
    SOCKET socket_ = INVALID_SOCKET;
    HANDLE ready_ = nullptr;
};

} // namespace lobby::win32
