#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lobby {

// One datagram as the endpoint hands it over: its bytes and where it came from.
struct ReceivedDatagram {
    // A view into the endpoint's receive storage, good until the next receive: whoever keeps
    // the bytes past anything that may dispatch events copies them first. Empty for a failed
    // receive.
    std::string_view Bytes;
    // The datagram's length, or -1 for a failed receive (a datagram longer than the
    // endpoint's buffer included).
    std::int32_t NumberBytes = 0;
    std::string FromIP; // the sender's address as dotted text; 0.0.0.0 when unknown
    std::int32_t Port = 0;
};

// The datagrams taken by one receive, handed out one by one in arrival order.
class ReceivedBatch {
public:
    // Fills datagram with the next datagram not yet handed out; false when none is left.
    // The datagram handed out becomes the endpoint's most recent one.
    virtual bool Next(ReceivedDatagram& datagram) = 0;

protected:
    ~ReceivedBatch() = default;
};

} // namespace lobby
