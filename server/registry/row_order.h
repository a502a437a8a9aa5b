#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lobby {

// The order of the registry's rows: which row identity stands at each position, and where
// each identity stands. A score report moves one player across the table; with a million
// players a plain array would shift up to a million entries, and renumber them all, for that
// one move. Here the positions are cut into blocks of one to two thousand identities, each
// knowing where it starts, so taking an identity out or putting it in shifts one block and
// renumbers the block starts: a few microseconds at a million rows. Looking an identity's
// position up costs two array reads; finding the identity at a position, a binary search
// over the block starts.
//
// Identities are small integers handed out by the caller (the registry's row store); each
// stands at most once in the order.
class RowOrder {
public:
    using Id = std::uint32_t;

    int Size() const { return size_; }
    // The identity at position (0 <= position < Size()).
    Id At(int position) const;
    // The position of id, which must stand in the order.
    int PositionOf(Id id) const;
    bool Contains(Id id) const { return id < blockTagOf_.size() && blockTagOf_[id] != kNowhere; }

    // Puts id at position (0 <= position <= Size()); those from there on move down one.
    void Insert(int position, Id id);
    // Takes the identity at position out; those after it move up one.
    Id Erase(int position);
    // The identity at from ends up at to; those in between shift by one towards from.
    void Move(int from, int to);
    void PushBack(Id id) { Insert(size_, id); }
    // Drops every position from count on.
    void Truncate(int count);
    // The order becomes ids, in that order.
    void Assign(const std::vector<Id>& ids);
    // Positions first.. first + ids.size() - 1 are given ids, which must be the identities
    // standing there now, in another order.
    void Reorder(int first, const std::vector<Id>& ids);

    // Calls visit(position, id) for positions first..last in order.
    template <class Visit>
    void ForEach(int first, int last, Visit&& visit) const
    {
        if (first > last)
            return;
        std::size_t block = BlockAt(first);
        int position = first;
        std::size_t slot = static_cast<std::size_t>(first - blocks_[block].start);
        for (; position <= last; ++block, slot = 0) {
            const std::vector<Id>& ids = blocks_[block].ids;
            for (; slot < ids.size() && position <= last; ++slot, ++position)
                visit(position, ids[slot]);
        }
    }
    // Appends every identity, in order.
    void AppendTo(std::vector<Id>& out) const;

private:
    static constexpr std::uint32_t kNowhere = 0xFFFFFFFFu;
    // A block is split in two halves once it reaches this size; Assign fills blocks to half.
    static constexpr std::size_t kSplitSize = 2048;
    static constexpr std::size_t kHalf = kSplitSize / 2;

    struct Block {
        std::vector<Id> ids;
        int start = 0;         // position of ids[0]
        std::uint32_t tag = 0; // stable name of the block, whatever its index
    };

    // Index of the block holding position (0 <= position < Size()).
    std::size_t BlockAt(int position) const;
    // Recomputes the starts and the tag-to-index table from block first on.
    void Renumber(std::size_t first);
    // Records where ids[from..] of the block stand.
    void Place(const Block& block, std::size_t from);
    std::uint32_t NewTag();
    void Split(std::size_t index);

    std::vector<Block> blocks_;
    std::vector<std::uint32_t> indexOfTag_; // block tag -> index in blocks_
    std::vector<std::uint32_t> freeTags_;
    std::vector<std::uint32_t> blockTagOf_; // id -> tag of its block, kNowhere when absent
    std::vector<std::uint16_t> slotOf_;     // id -> index within its block
    int size_ = 0;
};

} // namespace lobby
