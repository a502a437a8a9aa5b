#include <string>

#include "platform/stream.h" // EStreamError
#include "server/lobby/form1.h"

namespace lobby {

void TForm1::UDP1DataReceived(DatagramEndpoint& /*Sender*/, std::int32_t NumberBytes,
                              const std::string& FromIP, std::int32_t /*Port*/, std::string_view Bytes)
{
    if (NumberBytes < 0) {
        status_.CountDropped(); // a failed receive: nothing was read, so nothing to log or answer
        return;
    }
    ++status_.Counters().received;
    // As a read of NumberBytes bytes out of the datagram would.
    if (static_cast<std::size_t>(NumberBytes) > Bytes.size())
        throw EStreamError("Stream read error");
    const std::string bytes(Bytes.substr(0, static_cast<std::size_t>(NumberBytes)));
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
