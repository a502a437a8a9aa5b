#include "server/registry/row_order.h"

#include <algorithm>

namespace lobby {

RowOrder::Id RowOrder::At(int position) const
{
    const Block& block = blocks_[BlockAt(position)];
    return block.ids[static_cast<std::size_t>(position - block.start)];
}

int RowOrder::PositionOf(Id id) const
{
    return blocks_[indexOfTag_[blockTagOf_[id]]].start + slotOf_[id];
}

std::size_t RowOrder::BlockAt(int position) const
{
    // The last block starting at or before position.
    const auto after = std::upper_bound(blocks_.begin(), blocks_.end(), position,
                                        [](int p, const Block& block) { return p < block.start; });
    return static_cast<std::size_t>(after - blocks_.begin()) - 1;
}

void RowOrder::Renumber(std::size_t first)
{
    int start = first == 0 ? 0 : blocks_[first - 1].start + static_cast<int>(blocks_[first - 1].ids.size());
    for (std::size_t i = first; i < blocks_.size(); ++i) {
        blocks_[i].start = start;
        start += static_cast<int>(blocks_[i].ids.size());
        indexOfTag_[blocks_[i].tag] = static_cast<std::uint32_t>(i);
    }
}

void RowOrder::Place(const Block& block, std::size_t from)
{
    for (std::size_t slot = from; slot < block.ids.size(); ++slot) {
        blockTagOf_[block.ids[slot]] = block.tag;
        slotOf_[block.ids[slot]] = static_cast<std::uint16_t>(slot);
    }
}

std::uint32_t RowOrder::NewTag()
{
    if (!freeTags_.empty()) {
        const std::uint32_t tag = freeTags_.back();
        freeTags_.pop_back();
        return tag;
    }
    indexOfTag_.push_back(0);
    return static_cast<std::uint32_t>(indexOfTag_.size() - 1);
}

void RowOrder::Split(std::size_t index)
{
    Block second;
    second.tag = NewTag();
    std::vector<Id>& ids = blocks_[index].ids;
    second.ids.assign(ids.begin() + static_cast<std::ptrdiff_t>(kHalf), ids.end());
    ids.resize(kHalf);
    Place(second, 0);
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(second));
    Renumber(index + 1);
}

void RowOrder::Insert(int position, Id id)
{
    if (id >= blockTagOf_.size()) {
        blockTagOf_.resize(static_cast<std::size_t>(id) + 1, kNowhere);
        slotOf_.resize(static_cast<std::size_t>(id) + 1, 0);
    }
    if (blocks_.empty()) {
        Block first;
        first.tag = NewTag();
        blocks_.push_back(std::move(first));
        Renumber(0);
    }
    // At the very end the last block takes it; elsewhere the block holding the position.
    const std::size_t index = position == size_ ? blocks_.size() - 1 : BlockAt(position);
    Block& block = blocks_[index];
    const std::size_t slot = static_cast<std::size_t>(position - block.start);
    block.ids.insert(block.ids.begin() + static_cast<std::ptrdiff_t>(slot), id);
    Place(block, slot);
    ++size_;
    if (block.ids.size() >= kSplitSize) {
        Split(index); // renumbers from the new block on
        return;
    }
    Renumber(index + 1);
}

RowOrder::Id RowOrder::Erase(int position)
{
    const std::size_t index = BlockAt(position);
    Block& block = blocks_[index];
    const std::size_t slot = static_cast<std::size_t>(position - block.start);
    const Id id = block.ids[slot];
    block.ids.erase(block.ids.begin() + static_cast<std::ptrdiff_t>(slot));
    Place(block, slot);
    blockTagOf_[id] = kNowhere;
    --size_;
    if (block.ids.empty()) {
        freeTags_.push_back(block.tag);
        blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(index));
        Renumber(index);
    } else {
        Renumber(index + 1);
    }
    return id;
}

void RowOrder::Move(int from, int to)
{
    if (from == to)
        return;
    Insert(to, Erase(from));
}

void RowOrder::Truncate(int count)
{
    while (size_ > count) {
        Block& last = blocks_.back();
        const int keep = std::max(0, count - last.start);
        for (std::size_t slot = static_cast<std::size_t>(keep); slot < last.ids.size(); ++slot)
            blockTagOf_[last.ids[slot]] = kNowhere;
        size_ -= static_cast<int>(last.ids.size()) - keep;
        last.ids.resize(static_cast<std::size_t>(keep));
        if (last.ids.empty()) {
            freeTags_.push_back(last.tag);
            blocks_.pop_back();
        }
    }
}

void RowOrder::Assign(const std::vector<Id>& ids)
{
    blocks_.clear();
    indexOfTag_.clear();
    freeTags_.clear();
    blockTagOf_.clear();
    slotOf_.clear();
    size_ = 0;
    Id largest = 0;
    for (const Id id : ids)
        largest = std::max(largest, id);
    if (!ids.empty()) {
        blockTagOf_.assign(static_cast<std::size_t>(largest) + 1, kNowhere);
        slotOf_.assign(static_cast<std::size_t>(largest) + 1, 0);
    }
    for (std::size_t begin = 0; begin < ids.size(); begin += kHalf) {
        Block block;
        block.tag = NewTag();
        block.ids.assign(ids.begin() + static_cast<std::ptrdiff_t>(begin),
                         ids.begin() + static_cast<std::ptrdiff_t>(std::min(ids.size(), begin + kHalf)));
        Place(block, 0);
        blocks_.push_back(std::move(block));
    }
    size_ = static_cast<int>(ids.size());
    Renumber(0);
}

void RowOrder::Reorder(int first, const std::vector<Id>& ids)
{
    if (ids.empty())
        return;
    std::size_t index = BlockAt(first);
    std::size_t slot = static_cast<std::size_t>(first - blocks_[index].start);
    for (const Id id : ids) {
        if (slot == blocks_[index].ids.size()) {
            ++index;
            slot = 0;
        }
        Block& block = blocks_[index];
        block.ids[slot] = id;
        blockTagOf_[id] = block.tag;
        slotOf_[id] = static_cast<std::uint16_t>(slot);
        ++slot;
    }
}

void RowOrder::AppendTo(std::vector<Id>& out) const
{
    out.reserve(out.size() + static_cast<std::size_t>(size_));
    for (const Block& block : blocks_)
        out.insert(out.end(), block.ids.begin(), block.ids.end());
}

} // namespace lobby
