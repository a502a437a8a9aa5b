#pragma once

#include <string>
#include <unordered_set>

namespace lobby {

// The snapshot of one kind (player list or ranking) sent at once to requesters while its
// broadcast was merged, so that the merged broadcast does not send them the same bytes again.
struct SnapshotCopies {
    std::string text;
    std::unordered_set<std::string> addresses;
    std::string last; // the address added last, which asks again most often
};

} // namespace lobby
