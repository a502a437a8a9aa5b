#include "server/registry/row_store.h"

#include <algorithm>
#include <cstring>

#include "platform/exception.h"

namespace lobby {

RegistryRow::RegistryRow(const RegistryRow& other)
    : score(other.score), scoreValid(other.scoreValid), size_(other.size_), ends_(other.ends_)
{
    if (other.bytes_) {
        bytes_ = std::make_unique_for_overwrite<char[]>(size_);
        std::memcpy(bytes_.get(), other.bytes_.get(), size_);
    }
}

RegistryRow& RegistryRow::operator=(const RegistryRow& other)
{
    if (this != &other)
        *this = RegistryRow(other);
    return *this;
}

void RegistryRow::SetCell(int col, std::string_view text)
{
    const std::string_view line = Line();
    const std::size_t begin = col == 1 ? 1 : ends_[col - 2] + 1u;
    const std::size_t end = ends_[col - 1];
    const std::size_t size = line.size() - (end - begin) + text.size();
    if (size > 0xFFFF)
        throw Exception("Grid cell text too long");
    auto bytes = std::make_unique_for_overwrite<char[]>(size);
    // Copied with std::copy, which takes an empty view's null data in its stride.
    char* out = std::copy(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(begin), bytes.get());
    out = std::copy(text.begin(), text.end(), out);
    std::copy(line.begin() + static_cast<std::ptrdiff_t>(end), line.end(), out);
    const int delta = static_cast<int>(text.size()) - static_cast<int>(end - begin);
    for (int c = col - 1; c < static_cast<int>(ends_.size()); ++c)
        ends_[c] = static_cast<std::uint16_t>(ends_[c] + delta);
    bytes_ = std::move(bytes);
    size_ = static_cast<std::uint16_t>(size);
}

void RegistryRow::SetCells(const std::array<std::string_view, 6>& cells)
{
    std::size_t size = 8;
    for (int col = 1; col < 6; ++col)
        size += cells[col].size();
    if (size > 0xFFFF)
        throw Exception("Grid cell text too long");
    auto bytes = std::make_unique_for_overwrite<char[]>(size);
    char* out = bytes.get();
    *out++ = ',';
    for (int col = 1; col < 6; ++col) {
        out = std::copy(cells[col].begin(), cells[col].end(), out);
        ends_[col - 1] = static_cast<std::uint16_t>(out - bytes.get());
        *out++ = ',';
    }
    *out++ = '\r';
    *out = '\n';
    bytes_ = std::move(bytes);
    size_ = static_cast<std::uint16_t>(size);
}

RowChunk& RowStore::MutableChunk(Id id)
{
    const std::uint32_t chunk = id >> kRowChunkShift;
    if (frozen_ && madeInFreeze_[chunk] != freezes_) {
        chunks_[chunk] = std::make_shared<RowChunk>(*chunks_[chunk]);
        madeInFreeze_[chunk] = freezes_;
    }
    return *chunks_[chunk];
}

RowStore::Id RowStore::Add()
{
    if (size_ == chunks_.size() * kRowChunkRows) {
        chunks_.push_back(std::make_shared<RowChunk>());
        madeInFreeze_.push_back(freezes_);
    }
    const Id id = size_++;
    MutableChunk(id).rows.emplace_back();
    return id;
}

void RowStore::Clear()
{
    chunks_.clear();
    madeInFreeze_.clear();
    size_ = 0;
}

void RowStore::Reserve(std::uint32_t rows)
{
    const std::size_t chunks = (static_cast<std::size_t>(rows) + kRowChunkRows - 1) / kRowChunkRows;
    chunks_.reserve(chunks);
    madeInFreeze_.reserve(chunks);
}

RowStore::Chunks RowStore::Freeze()
{
    ++freezes_;
    frozen_ = true;
    return Chunks(chunks_.begin(), chunks_.end());
}

} // namespace lobby
