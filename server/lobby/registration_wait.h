#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/flood/flood_guard.h"

namespace lobby {

// A request that would register a new nick, waiting for the lobby's allowance.
struct WaitingRegistration {
    std::string bytes;
    std::string address;
    AddressKey key;
    std::uint32_t allowanceLeft; // its source's registrations left: the most are served first
    std::uint64_t order;         // then the earliest
    std::int64_t arrivedMs;

    // Whether a is served before b: the sources that have registered the least first (a
    // newcomer before an address that has been registering all along), then the earliest.
    static bool ServedFirst(const WaitingRegistration& a, const WaitingRegistration& b)
    {
        return a.allowanceLeft != b.allowanceLeft ? a.allowanceLeft > b.allowanceLeft : a.order < b.order;
    }
};

// The new nicks over the lobby's allowance of registrations, waiting their turn: bounded in
// time (kWaitMs, then the client has given up or asked again) and in number (as many as the
// allowance serves in that time), served best first.
class RegistrationWait {
public:
    static constexpr std::int64_t kWaitMs = 15000;
    static constexpr std::size_t kMostWaiting = 4096;

    bool Empty() const { return waiting_.empty(); }

    // Queues a request from key, arrived at nowMs with allowanceLeft registrations left to its
    // source. When the wait already holds what perSecond serves in kWaitMs, the one of them and
    // the newcomer that would be served last is dropped: its key is returned.
    std::optional<AddressKey> Add(std::string bytes, std::string address, AddressKey key,
                                  std::uint32_t allowanceLeft, std::int64_t nowMs, std::uint32_t perSecond);

    // Gives every waiting request its source's standing as it is now (allowanceLeft(key)), so
    // that a source that went on registering while its first request waited falls behind a
    // newcomer who came later, and drops those that waited kWaitMs; dropped(key) for each.
    template <class AllowanceLeft, class Dropped>
    void Refresh(std::int64_t nowMs, AllowanceLeft&& allowanceLeft, Dropped&& dropped)
    {
        std::erase_if(waiting_, [&](WaitingRegistration& waiting) {
            waiting.allowanceLeft = allowanceLeft(waiting.key);
            if (nowMs - waiting.arrivedMs < kWaitMs)
                return false;
            dropped(waiting.key);
            return true;
        });
    }

    // The request served next; the wait must not be empty.
    const WaitingRegistration& Best() const;
    // Takes Best out of the wait.
    WaitingRegistration TakeBest();

private:
    std::vector<WaitingRegistration> waiting_;
    std::uint64_t order_ = 0;
};

} // namespace lobby
