#include "server/lobby/outbox.h"

namespace lobby {

void Outbox::Add(std::uint32_t address, std::string_view host, std::string_view bytes, MessageSlot& slot)
{
    if (slot.batch != batch_) {
        slot.batch = batch_;
        slot.offset = store_.size();
        store_.append(bytes);
    }
    const std::size_t hostOffset = store_.size();
    store_.append(host);
    entries_.push_back(Entry{address, hostOffset, host.size(), slot.offset, bytes.size()});
    bytes_ += bytes.size();
}

std::span<const OutgoingDatagram> Outbox::Datagrams()
{
    views_.clear();
    const std::string_view store = store_;
    for (const Entry& entry : entries_) {
        views_.push_back(OutgoingDatagram{store.substr(entry.hostOffset, entry.hostSize), entry.address,
                                          store.substr(entry.bytesOffset, entry.bytesSize)});
    }
    return views_;
}

void Outbox::Clear()
{
    ++batch_;
    store_.clear();
    entries_.clear();
    views_.clear();
    bytes_ = 0;
}

} // namespace lobby
