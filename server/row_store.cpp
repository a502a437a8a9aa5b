#include "server/row_store.h"

#include "platform/exception.h"

namespace lobby {

void RegistryRow::SetCell(int col, std::string_view text)
{
    const std::size_t begin = col == 1 ? 1 : ends[col - 2] + 1u;
    const std::size_t end = ends[col - 1];
    if (line.size() - (end - begin) + text.size() > 0xFFFF)
        throw Exception("Grid cell text too long");
    line.replace(begin, end - begin, text);
    const int delta = static_cast<int>(text.size()) - static_cast<int>(end - begin);
    for (int c = col - 1; c < static_cast<int>(ends.size()); ++c)
        ends[c] = static_cast<std::uint16_t>(ends[c] + delta);
}

RegistryRow& RowStore::Mutable(Id id)
{
    const std::uint32_t chunk = id >> kRowChunkShift;
    if (frozen_ && madeInFreeze_[chunk] != freezes_) {
        chunks_[chunk] = std::make_shared<RowChunk>(*chunks_[chunk]);
        madeInFreeze_[chunk] = freezes_;
    }
    return chunks_[chunk]->rows[id & (kRowChunkRows - 1)];
}

RowStore::Id RowStore::Add()
{
    if (size_ == chunks_.size() * kRowChunkRows) {
        chunks_.push_back(std::make_shared<RowChunk>());
        madeInFreeze_.push_back(freezes_);
    }
    const Id id = size_++;
    Mutable(id) = RegistryRow();
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
