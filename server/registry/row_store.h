#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lobby {

// One registry row's cells 1 to 5, held as the row's line in the registry file:
// ",nick,password,address,score,flag,\r\n". A save then hands every row's bytes to the system
// as they are, with nothing to format. The presence marker (cell 0) is never saved and is
// kept by the registry apart. The line is a buffer of exactly its size (a million rows are
// held; a string object would add 16 bytes to each), and a row never written shares one
// constant line.
class RegistryRow {
public:
    RegistryRow() = default;
    RegistryRow(const RegistryRow& other);
    RegistryRow& operator=(const RegistryRow& other);
    RegistryRow(RegistryRow&&) noexcept = default;
    RegistryRow& operator=(RegistryRow&&) noexcept = default;

    std::string_view Line() const { return bytes_ ? std::string_view(bytes_.get(), size_) : kEmptyLine; }
    // Cell col, 1..5.
    std::string_view Cell(int col) const
    {
        const std::size_t begin = col == 1 ? 1 : ends_[col - 2] + 1u;
        return Line().substr(begin, ends_[col - 1] - begin);
    }
    // Replaces cell col (1..5); raises "Grid cell text too long" when the line would pass the
    // 16-bit offsets (cells come from 4096-byte file lines and 2048-byte datagrams, so only a
    // caller gone wrong gets there).
    void SetCell(int col, std::string_view text);
    // Makes the line ",c1,c2,c3,c4,c5,\r\n" of cells (cells[0] is not kept).
    void SetCells(const std::array<std::string_view, 6>& cells);

    std::int32_t score = 0;   // cell 4 read by the integer rule...
    bool scoreValid = false;  // ...when it reads as an integer

private:
    static constexpr std::string_view kEmptyLine = ",,,,,,\r\n";

    std::unique_ptr<char[]> bytes_; // null: the empty line
    std::uint16_t size_ = 0;
    std::array<std::uint16_t, 5> ends_{1, 2, 3, 4, 5}; // where cells 1..5 end: the comma after each
};

constexpr std::uint32_t kRowChunkShift = 10;
constexpr std::uint32_t kRowChunkRows = 1u << kRowChunkShift;

// A chunk's rows, made as they are added: a small table does not build and tear down a
// thousand empty rows. Room for all of them is taken at once, so a row never moves while its
// chunk lives.
struct RowChunk {
    RowChunk() { rows.reserve(kRowChunkRows); }
    RowChunk(const RowChunk& other) : RowChunk() { rows.insert(rows.end(), other.rows.begin(), other.rows.end()); }
    RowChunk& operator=(const RowChunk&) = delete;
    std::vector<RegistryRow> rows;
};

// The registry's rows by identity, in chunks of 1024 that a background save can share with
// the table while the table goes on changing. Freeze hands out the chunks as they are; until
// Thaw, a chunk is copied before its first change, so what was handed out stays exactly as it
// was (a chunk copy is ~50 us, against a million rows copied for a whole picture). Identities
// are handed out in order from 0 and never reused until Clear.
//
// Loop thread only; the chunks handed out may be read on any thread until Thaw.
class RowStore {
public:
    using Id = std::uint32_t;
    using Chunks = std::vector<std::shared_ptr<const RowChunk>>;

    std::uint32_t Size() const { return size_; }
    const RegistryRow& Get(Id id) const { return chunks_[id >> kRowChunkShift]->rows[id & (kRowChunkRows - 1)]; }
    // The row to change, copied out of a frozen chunk first.
    RegistryRow& Mutable(Id id) { return MutableChunk(id).rows[id & (kRowChunkRows - 1)]; }
    // A new empty row's identity.
    Id Add();
    void Clear();
    void Reserve(std::uint32_t rows);

    // Every chunk as it is now; they stay so until Thaw, however the rows change meanwhile.
    Chunks Freeze();
    // Nobody reads the chunks handed out by Freeze any more.
    void Thaw() { frozen_ = false; }

private:
    // The chunk of id, copied first when a freeze handed it out.
    RowChunk& MutableChunk(Id id);

    std::vector<std::shared_ptr<RowChunk>> chunks_;
    std::vector<std::uint64_t> madeInFreeze_; // per chunk: the freeze it was made or copied in
    std::uint64_t freezes_ = 0;
    bool frozen_ = false;
    std::uint32_t size_ = 0;
};

} // namespace lobby
