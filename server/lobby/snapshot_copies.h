#pragma once

#include <string>
#include <string_view>
#include <unordered_set>

namespace lobby {

// The snapshot of one kind (player list or ranking) sent at once to requesters while its
// broadcast was merged, so that the merged broadcast does not send them the same bytes again.
class SnapshotCopies {
public:
    // Notes that address was sent text; a text unlike the one noted before starts afresh.
    // Returns the text as kept, for the send.
    const std::string& Sent(std::string text, std::string_view address);
    // Those who were sent text, to be left out of its broadcast (none when they were sent
    // another text), and forgets them all.
    std::unordered_set<std::string> TakeSentOf(const std::string& text);

private:
    std::string text_;
    std::unordered_set<std::string> addresses_;
    std::string last_; // the address added last, which asks again most often
};

} // namespace lobby
