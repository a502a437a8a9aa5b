#include <string>

#include "platform/stream.h"
#include "server/lobby/form1.h"

namespace lobby {

namespace {

// The datagram just received, copied out of the endpoint: a nested receive (while a send
// waits for a host-name lookup) overwrites the endpoint's copy.
std::string ReadRequest(DatagramEndpoint& endpoint, std::int32_t count)
{
    TMemoryStream stream;
    endpoint.ReadDatagram(stream);
    std::string bytes(static_cast<std::size_t>(count), '\0');
    stream.ReadBuffer(bytes.data(), count);
    return bytes;
}

} // namespace

void TForm1::UDP1DataReceived(DatagramEndpoint& Sender, std::int32_t NumberBytes,
                              const std::string& FromIP, std::int32_t /*Port*/)
{
    if (NumberBytes < 0) {
        status_.CountDropped(); // a failed receive: nothing was read, so nothing to log or answer
        return;
    }
    ++status_.Counters().received;
    const std::string bytes = ReadRequest(Sender, NumberBytes);
    // Split once, into views into bytes, which live to the end of this handler.
    const std::optional<RequestFields> request = SplitRequest(bytes);
    const RequestSource source{FromIP, door_.Guard().KeyOf(FromIP)};
    int nickRow = 0;
    switch (door_.Admit(source, request, bytes, nickRow)) {
    case Admission::Verdict::kDrop:
        return;
    case Admission::Verdict::kWait:
        pacing_.Arm(); // Timer2 serves it when the lobby's allowance comes round
        return;
    case Admission::Verdict::kServe:
        requests_.CarryOut(source, bytes, request, nickRow, clock_.Now());
        return;
    }
}

} // namespace lobby
