#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/stream.h"

namespace lobby {

// A datagram ready to leave: its destination already read as an IPv4 address.
struct OutgoingDatagram {
    std::string_view host;     // the destination as the sender named it
    std::uint32_t address = 0; // the same, in network byte order
    std::string_view bytes;
};

// What the lobby needs of its datagram endpoint: send datagrams to the endpoint's RemotePort,
// one at a time to a named host or many at once to addresses already read (what arrives is
// handed to the lobby with its bytes, see ReceivedDatagram). TUDPEndpoint is the real one; tests put a recording one in its
// place.
class DatagramEndpoint {
public:
    virtual ~DatagramEndpoint() = default;

    virtual const std::string& RemoteHost() const = 0;
    virtual void SetRemoteHost(std::string host) = 0;

    // Sends the whole stream as one datagram to RemoteHost. Raises on an empty stream or a
    // bad host. A host name is looked up first, and the lookup dispatches the loop's events.
    virtual void SendDatagram(TStream& stream) = 0;

    // The address a datagram to host goes to, when it can be had without a lookup (a dotted
    // address); nothing when only a lookup can tell. Raises what SendDatagram raises for such
    // a host (too long, "Null Remote Address"). Dispatches nothing.
    virtual std::optional<std::uint32_t> ResolveWithoutLookup(std::string_view host) = 0;

    // Sends each datagram to its address, in order, with as few system calls as it can. A
    // datagram the system refuses is counted and the others still go. Dispatches nothing and
    // never raises.
    virtual void SendBatch(std::span<const OutgoingDatagram> datagrams) = 0;
};

} // namespace lobby
