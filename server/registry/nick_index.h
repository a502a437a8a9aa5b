#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace lobby {

// Finds player rows by nick without looking at the letter case of a-z, so a login costs the
// same with a million players as with ten. It stores only row identities and their hashes;
// the nick itself stays in the table and is compared through the caller's callback, which
// keeps the index small (8 bytes a slot) and always in step with the table's cells.
class NickIndex {
public:
    // Hash of the nick with a-z read as A-Z, so "Ana" and "ANA" meet in the same slot.
    static std::uint32_t Hash(std::string_view nick);

    void Insert(std::uint32_t hash, std::uint32_t id);
    void Erase(std::uint32_t hash, std::uint32_t id);
    void Clear();
    void Reserve(std::size_t count);

    // Calls visit(id) for every identity stored under this hash (collisions included: the
    // caller compares the nicks).
    template <class Visit>
    void ForEach(std::uint32_t hash, Visit&& visit) const
    {
        if (slots_.empty())
            return;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.id == kEmpty)
                return;
            if (slot.id != kErased && slot.hash == hash)
                visit(slot.id);
        }
    }

private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    static constexpr std::uint32_t kErased = 0xFFFFFFFEu;

    struct Slot {
        std::uint32_t id = kEmpty;
        std::uint32_t hash = 0;
    };

    void Grow(std::size_t minimumSlots);

    std::vector<Slot> slots_;
    std::size_t used_ = 0; // live and erased slots: both lengthen probe runs
    std::size_t live_ = 0;
};

} // namespace lobby
