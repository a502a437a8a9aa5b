#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/datagram_endpoint.h"

namespace lobby {

// The datagrams a handler has sent so far that have not yet been handed to the endpoint.
// The lobby hands them over together, after the handler's log lines have gone to the system
// in one write: a broadcast then costs a couple of system calls, not two per recipient. A
// message's bytes are kept once however many recipients share it; the outbox keeps its
// memory from batch to batch, so a batch allocates nothing once it has been used.
class Outbox {
public:
    // How many datagrams are gathered at most before they must go: a broadcast to a hundred
    // thousand players goes in slices, not in one piece held in memory.
    static constexpr std::size_t kLimit = 1024;

    // Where a message's bytes are kept in this outbox, for the recipients after the first.
    struct MessageSlot {
        std::uint64_t batch = 0; // the batch it was kept in; 0: not kept yet
        std::size_t offset = 0;
    };

    // One datagram of bytes to address (network byte order), host being the destination's
    // text. slot belongs to the message: recipients of one message pass the same slot.
    void Add(std::uint32_t address, std::string_view host, std::string_view bytes, MessageSlot& slot);

    bool Empty() const { return entries_.empty(); }
    bool Full() const { return entries_.size() >= kLimit; }
    std::size_t Size() const { return entries_.size(); }

    // The datagrams gathered, in order; valid until Clear.
    std::span<const OutgoingDatagram> Datagrams();
    // Bytes of all the datagrams gathered.
    std::uint64_t Bytes() const { return bytes_; }

    // Starts a new batch; the slots of the old one no longer hold.
    void Clear();

private:
    struct Entry {
        std::uint32_t address;
        std::size_t hostOffset;
        std::size_t hostSize;
        std::size_t bytesOffset;
        std::size_t bytesSize;
    };

    std::uint64_t batch_ = 1;
    std::string store_; // the hosts and message bytes of this batch
    std::vector<Entry> entries_;
    std::vector<OutgoingDatagram> views_;
    std::uint64_t bytes_ = 0;
};

} // namespace lobby
