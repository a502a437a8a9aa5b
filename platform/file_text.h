#pragma once

#include <cstddef>
#include <string_view>

namespace lobby {

// A file's bytes, held in memory pages of their own so that a reader done with the front of
// them can give those pages back at once. A million-player registry is 40 MB: kept whole
// beside the table built from it, it would raise the start-up peak by that much. A small file
// (under kMappedFrom bytes) is held on the heap instead: it has no pages worth giving back,
// and a map made and unmade for it would cost more than reading it. Move-only.
class FileText {
public:
    FileText() = default;
    FileText(FileText&& other) noexcept;
    FileText& operator=(FileText&& other) noexcept;
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;
    ~FileText();

    // The bytes; those before an offset given to ReleaseBefore read as NUL bytes from then on.
    std::string_view View() const { return {data_, size_}; }
    // Gives back the whole pages before offset: the caller will not read those bytes again.
    void ReleaseBefore(std::size_t offset);

    // Appends bytes, growing the pages as needed; raises std::bad_alloc when the system has
    // no memory for them.
    void Append(const char* bytes, std::size_t count);
    void Reserve(std::size_t capacity);

    static constexpr std::size_t kMappedFrom = 1 << 16;

private:
    bool Mapped() const { return capacity_ >= kMappedFrom; }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0; // bytes mapped, a whole number of pages
};

} // namespace lobby
