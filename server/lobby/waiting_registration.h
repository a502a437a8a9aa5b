#pragma once

#include <cstdint>
#include <string>

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

} // namespace lobby
