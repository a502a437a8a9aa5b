#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lobby {

// Maps address keys to table slots by open addressing (linear probing) in arrays sized once,
// twice the most keys it holds. Remembering or forgetting a key never allocates: the flood
// guard looks up the destination of every datagram sent, and in a lobby with more addresses
// than it remembers it forgets one and remembers another at nearly every datagram.
class AddressIndex {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    // Raises std::invalid_argument when maxKeys is 0 or too large to index.
    explicit AddressIndex(std::size_t maxKeys);

    // The slot stored for key; kNone when key is not held.
    std::uint32_t Find(std::uint64_t key) const;
    // Stores slot for key, which must not be held; the index must hold fewer than maxKeys.
    void Insert(std::uint64_t key, std::uint32_t slot);
    // Forgets key; nothing when it is not held.
    void Erase(std::uint64_t key);

    std::size_t Size() const { return size_; }

private:
    std::size_t Home(std::uint64_t key) const;
    std::size_t CellOf(std::uint64_t key) const; // where key is held, or the free cell that ends its probe

    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> slots_; // kNone: the cell is free
    std::size_t mask_ = 0;
    int shift_ = 0;
    std::size_t size_ = 0;
};

} // namespace lobby
