#include "server/lobby/snapshot_copies.h"

#include <utility>

namespace lobby {

const std::string& SnapshotCopies::Sent(std::string text, std::string_view address)
{
    if (text_ != text) {
        text_ = std::move(text);
        addresses_.clear();
        last_.clear();
    }
    if (last_ != address) {
        last_ = address;
        addresses_.insert(last_);
    }
    return text_;
}

std::unordered_set<std::string> SnapshotCopies::TakeSentOf(const std::string& text)
{
    std::unordered_set<std::string> sent;
    if (text_ == text)
        sent = std::move(addresses_);
    *this = {};
    return sent;
}

} // namespace lobby
