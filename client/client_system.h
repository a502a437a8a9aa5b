#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/udp_socket.h"

namespace lobby {

// What lobby-client needs of the system: name lookup, one UDP socket, the wait for replies
// and the operator's request to stop. The socket is the endpoint's UdpSocket, the same on
// every system (client/reply_socket.cpp); what differs (the command line's words, the stop
// request, the wait, a refused bind's reading) has one implementation per system
// (client/linux/, client/win32/), chosen by the build, so the client's own logic is the same
// on both.

// A failure that ends the client's run; what() is the one line the operator sees.
class ClientFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The words of the command line after the program's name, in UTF-8, as the options expect
// them (on Windows the system's wide command line, whatever the code page). Also makes the
// console show the client's UTF-8 output as such.
std::vector<std::string> ProgramWords(int argc, char** argv);

// The IPv4 address (network byte order) of a host name or dotted address, or nothing.
std::optional<std::uint32_t> LookUpHostAddress(const std::string& name);

// From now on Ctrl+C (and, where the system has them, SIGTERM or Ctrl+Break) ends the wait
// for replies instead of the program, so the client ends the way it would after its last
// reply. Call once, before the first wait.
void CatchStopRequests();
// Whether the operator asked the client to stop.
bool StopRequested();

// Why a bind was refused, as the client words it to the operator.
enum class BindRefusal { None, PortTaken, AddressNotLocal, Other };

// What the system's error number from a refused bind means (never None).
BindRefusal BindRefusalOf(int error) noexcept;

// One IPv4 datagram socket, owned (move-only, as its UdpSocket). Receives never wait; the
// wait is WaitForDatagrams.
class ReplySocket {
public:
    // Opens the socket; raises ClientFailure when the system gives none.
    ReplySocket();

    // Binds to address (network byte order; 0 is every local address) and port. Returns
    // BindRefusal::None, or why not with the system's wording in reason.
    BindRefusal Bind(std::uint32_t address, std::uint16_t port, std::string& reason);
    // Sends one datagram; returns "" or the system's wording of why it could not.
    std::string SendTo(const std::string& bytes, std::uint32_t address, std::uint16_t port);
    // Waits until a datagram is queued (true), the operator asks to stop, or timeout passes
    // (false); no timeout waits for one of the other two. A request to stop that arrives just
    // before the wait still ends it. Raises ClientFailure when the wait itself fails.
    bool WaitForDatagrams(std::optional<std::chrono::milliseconds> timeout);
    // Takes the next queued datagram into buffer (at most capacity bytes) without waiting;
    // returns its stored length, or nothing when none is queued. Raises ClientFailure when
    // receiving fails for another reason.
    std::optional<std::size_t> Receive(char* buffer, std::size_t capacity);

private:
    UdpSocket socket_;
};

} // namespace lobby
