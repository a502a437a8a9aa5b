#include "server/flood/address_index.h"

#include <stdexcept>

namespace lobby {

AddressIndex::AddressIndex(std::size_t maxKeys)
{
    if (maxKeys == 0 || maxKeys > (std::size_t{1} << 30))
        throw std::invalid_argument("an address index holds from 1 to 2^30 keys");
    // At most half full, so a probe ends after a few cells.
    std::size_t cells = 2;
    int bits = 1;
    while (cells < 2 * maxKeys) {
        cells *= 2;
        ++bits;
    }
    keys_.assign(cells, 0);
    slots_.assign(cells, kNone);
    mask_ = cells - 1;
    shift_ = 64 - bits;
}

// Fibonacci hashing: the top bits of the key times 2^64 / golden ratio, so addresses that
// differ only in their last byte spread over the whole array.
std::size_t AddressIndex::Home(std::uint64_t key) const
{
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
}

std::size_t AddressIndex::CellOf(std::uint64_t key) const
{
    std::size_t cell = Home(key);
    while (slots_[cell] != kNone && keys_[cell] != key)
        cell = (cell + 1) & mask_;
    return cell;
}

std::uint32_t AddressIndex::Find(std::uint64_t key) const
{
    return slots_[CellOf(key)];
}

void AddressIndex::Insert(std::uint64_t key, std::uint32_t slot)
{
    const std::size_t cell = CellOf(key);
    keys_[cell] = key;
    slots_[cell] = slot;
    ++size_;
}

// Backward-shift deletion: the keys after the freed cell whose probe passes it move up into
// it, so every probe still ends at the first free cell and no tombstones pile up.
void AddressIndex::Erase(std::uint64_t key)
{
    std::size_t hole = CellOf(key);
    if (slots_[hole] == kNone)
        return;
    slots_[hole] = kNone;
    --size_;
    for (std::size_t cell = (hole + 1) & mask_; slots_[cell] != kNone; cell = (cell + 1) & mask_) {
        const std::size_t home = Home(keys_[cell]);
        // The key stays when its home lies after the hole, on the way to its cell.
        if (((cell - home) & mask_) < ((cell - hole) & mask_))
            continue;
        keys_[hole] = keys_[cell];
        slots_[hole] = slots_[cell];
        slots_[cell] = kNone;
        hole = cell;
    }
}

} // namespace lobby
