#pragma once

#include <string>

#include "platform/stream.h"

// What the lobby needs of its datagram endpoint: copy out the datagram just received, and
// send a stream's bytes as one datagram to RemoteHost at the endpoint's RemotePort.
// TUDPEndpoint is the real one; tests put a recording one in its place.
class DatagramEndpoint {
public:
    virtual ~DatagramEndpoint() = default;

    virtual const std::string& RemoteHost() const = 0;
    virtual void SetRemoteHost(std::string host) = 0;

    // Writes the most recent datagram's bytes at the stream's position, then rewinds it.
    virtual void ReadDatagram(TStream& stream) = 0;

    // Sends the whole stream as one datagram. Raises on an empty stream or a bad host.
    virtual void SendDatagram(TStream& stream) = 0;
};
