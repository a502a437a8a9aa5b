#pragma once

// A stand-in for the server's UDP endpoint: records every datagram sent instead of sending it.

#include <arpa/inet.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/datagram_endpoint.h"
#include "net/udp_sock_error.h"
#include "platform/exception.h"
#include "platform/stream.h"

namespace test_support {

using namespace lobby;

struct SentDatagram {
    std::string host;
    std::string bytes;

    bool operator==(const SentDatagram&) const = default;
};

class RecordingEndpoint : public DatagramEndpoint {
public:
    const std::string& RemoteHost() const override { return remoteHost_; }
    void SetRemoteHost(std::string host) override { remoteHost_ = std::move(host); }

    // Takes the whole stream, as the real endpoint does. failBeforeSend may raise to stand
    // for a send the system refused; nothing is recorded then.
    void SendDatagram(TStream& stream) override
    {
        const std::int64_t size = stream.Size();
        if (size == 0)
            throw Exception("Invalid stream");
        std::string bytes(static_cast<std::size_t>(size), '\0');
        stream.SetPosition(0);
        stream.ReadBuffer(bytes.data(), size);
        if (failBeforeSend)
            failBeforeSend(remoteHost_, bytes);
        sent.push_back({remoteHost_, std::move(bytes)});
    }

    // A dotted address is one; any other text is a name to look up (SendDatagram records it
    // as it is). failBeforeSend is asked here too, with no bytes: a datagram it refuses
    // raises where the real endpoint would, before it is gathered.
    std::optional<std::uint32_t> ResolveWithoutLookup(std::string_view host) override
    {
        if (failBeforeSend)
            failBeforeSend(std::string(host), {});
        in_addr address{};
        if (::inet_pton(AF_INET, std::string(host).c_str(), &address) != 1)
            return std::nullopt;
        if (address.s_addr == 0)
            throw UDPSockError("Null Remote Address");
        return address.s_addr;
    }

    void SendBatch(std::span<const OutgoingDatagram> datagrams) override
    {
        ++batches;
        for (const OutgoingDatagram& datagram : datagrams)
            sent.push_back({std::string(datagram.host), std::string(datagram.bytes)});
    }

    std::vector<SentDatagram> sent; // every datagram sent, in order
    int batches = 0;                // SendBatch calls
    std::function<void(const std::string& host, const std::string& bytes)> failBeforeSend;

private:
    std::string remoteHost_;
};

} // namespace test_support
