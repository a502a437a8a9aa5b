#include "server/registry/nick_index.h"

#include <bit>

namespace lobby {

std::uint32_t NickIndex::Hash(std::string_view nick)
{
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (unsigned char c : nick) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<unsigned char>(c - 'a' + 'A');
        hash = (hash ^ c) * 16777619u;
    }
    return hash;
}

void NickIndex::Insert(std::uint32_t hash, std::uint32_t id)
{
    if ((used_ + 1) * 10 > slots_.size() * 7)
        Grow((live_ + 1) * 2);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].id != kEmpty && slots_[i].id != kErased)
        i = (i + 1) & mask;
    if (slots_[i].id == kEmpty)
        ++used_;
    slots_[i] = Slot{id, hash};
    ++live_;
}

void NickIndex::Erase(std::uint32_t hash, std::uint32_t id)
{
    if (slots_.empty())
        return;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i].id != kEmpty; i = (i + 1) & mask) {
        if (slots_[i].id == id) {
            slots_[i].id = kErased;
            --live_;
            return;
        }
    }
}

void NickIndex::Clear()
{
    slots_.clear();
    used_ = live_ = 0;
}

void NickIndex::Reserve(std::size_t count)
{
    if (count * 10 > slots_.size() * 7)
        Grow(count);
}

// Rebuilds the table with room for minimumSlots entries at most 70% full, dropping erased
// slots on the way.
void NickIndex::Grow(std::size_t minimumSlots)
{
    const std::size_t size = std::bit_ceil(std::max<std::size_t>(16, minimumSlots * 10 / 7 + 1));
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
    used_ = live_ = 0;
    const std::size_t mask = size - 1;
    for (const Slot& slot : old) {
        if (slot.id == kEmpty || slot.id == kErased)
            continue;
        std::size_t i = slot.hash & mask;
        while (slots_[i].id != kEmpty)
            i = (i + 1) & mask;
        slots_[i] = slot;
        ++used_;
        ++live_;
    }
}

} // namespace lobby
