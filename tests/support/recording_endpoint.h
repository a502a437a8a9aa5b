#pragma once

// A stand-in for the server's UDP endpoint: hands out whatever datagram the test says has
// just arrived, and records every datagram sent instead of sending it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/datagram_endpoint.h"
#include "platform/exception.h"
#include "platform/stream.h"

namespace test_support {

struct SentDatagram {
    std::string host;
    std::string bytes;

    bool operator==(const SentDatagram&) const = default;
};

class RecordingEndpoint : public DatagramEndpoint {
public:
    const std::string& RemoteHost() const override { return remoteHost_; }
    void SetRemoteHost(std::string host) override { remoteHost_ = std::move(host); }

    void ReadDatagram(TStream& stream) override
    {
        stream.WriteBuffer(current.data(), static_cast<std::int64_t>(current.size()));
        stream.SetPosition(0);
    }

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

    std::string current;            // the datagram ReadDatagram hands out
    std::vector<SentDatagram> sent; // every datagram sent, in order
    std::function<void(const std::string& host, const std::string& bytes)> failBeforeSend;

private:
    std::string remoteHost_;
};

} // namespace test_support
