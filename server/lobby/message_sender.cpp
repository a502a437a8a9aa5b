#include "server/lobby/message_sender.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/exception.h"
#include "platform/stream.h"
#include "server/lobby/messages.h"

namespace lobby {

// A message longer than a datagram is cut to it (only a relayed chat or private line can be),
// and the log shows what was sent.
MessageSender::Message::Message(std::string_view text) : bytes(text.substr(0, messages::kMaxDatagram)) {}

MessageSender::MessageSender(std::unique_ptr<DatagramEndpoint>& endpoint, FloodGuard& guard, TrafficLog& log,
                             TrafficCounters& counters, std::function<void(const std::string&)> showError)
    : endpoint_(endpoint), guard_(guard), log_(log), counters_(counters), showError_(std::move(showError))
{
}

// The line is logged before anything can fail, so a message the endpoint refuses (a host
// that cannot be looked up, say) shows in the log as it always did; the datagram itself
// waits in the outbox with the rest of the handler's. Views into registry cells are copied
// here, before anything can dispatch events that change them.
void MessageSender::Deliver(std::string_view address, Message& message)
{
    if (address.empty())
        return;
    if (!endpoint_)
        throw Exception("No datagram endpoint to send with");
    // A message that waited for a save was let through when it was made; it is not asked about
    // again (it would count as a copy of itself).
    if (!message.admitted && !guard_.AdmitSend(address, message.bytes))
        return;
    if (!sendingSnapshot)
        ++requestDatagrams;
    if (holding_ && *holding_ > durable_) {
        if (!message.held)
            message.held = std::make_shared<const std::string>(message.bytes);
        held_.push_back(HeldMessage{*holding_, std::string(address), message.held});
        return;
    }
    log_.AppendSent(address, message.bytes);
    std::optional<std::uint32_t> resolved;
    if (!message.bytes.empty())
        resolved = endpoint_->ResolveWithoutLookup(address);
    if (!resolved) {
        SendLookingUp(std::string(address), message.bytes);
        return;
    }
    outbox_.Add(*resolved, address, message.bytes, message.slot);
    if (outbox_.Full())
        Flush();
}

// The lookup dispatches events, so everything gathered goes out first: the log and the wire
// keep the order they would have had with every message sent on its own.
void MessageSender::SendLookingUp(std::string destination, std::string_view bytes)
{
    TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    Flush();
    endpoint_->SetRemoteHost(std::move(destination));
    endpoint_->SendDatagram(stream);
    ++counters_.sent;
}

void MessageSender::Flush()
{
    log_.Flush();
    if (outbox_.Empty())
        return;
    const std::size_t count = outbox_.Size();
    endpoint_->SendBatch(outbox_.Datagrams());
    outbox_.Clear();
    counters_.sent += count;
}

void MessageSender::FlushReporting() noexcept
{
    try {
        Flush();
    } catch (const std::exception& error) {
        outbox_.Clear();
        try {
            showError_(error.what());
        } catch (...) {
        }
    }
}

void MessageSender::HoldUntil(std::uint64_t version)
{
    holding_ = std::max(holding_.value_or(0), version);
}

void MessageSender::NoteDurable(std::uint64_t version)
{
    durable_ = std::max(durable_, version);
}

void MessageSender::Durable(std::uint64_t version)
{
    NoteDurable(version);
    Scope scope(*this, true);
    std::optional<Message> outgoing;
    const std::string* text = nullptr;
    while (!held_.empty() && held_.front().version <= durable_) {
        const HeldMessage message = std::move(held_.front());
        held_.pop_front();
        // A broadcast's recipients share one text, and with it one copy in the outbox.
        if (text != message.text.get()) {
            text = message.text.get();
            outgoing.emplace(*message.text);
            outgoing->held = message.text;
            outgoing->admitted = true;
        }
        Deliver(message.address, *outgoing);
    }
}

void MessageSender::Lost(std::uint64_t version)
{
    while (!held_.empty() && held_.front().version <= version)
        held_.pop_front();
}

} // namespace lobby
