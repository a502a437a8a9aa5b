// A file's text in memory on Windows: small texts on the heap, large ones in pages of their
// own (VirtualAlloc), so that pages already parsed can be given back while the rest loads.
#include "platform/file_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <windows.h>

namespace lobby {

namespace {

std::size_t PageSize()
{
    static const std::size_t size = [] {
        SYSTEM_INFO information{};
        ::GetSystemInfo(&information);
        return static_cast<std::size_t>(information.dwPageSize);
    }();
    return size;
}

std::size_t RoundUpToPages(std::size_t bytes)
{
    const std::size_t page = PageSize();
    return (bytes + page - 1) / page * page;
}

void Free(char* data, bool mapped)
{
    if (data == nullptr)
        return;
    if (mapped)
        ::VirtualFree(data, 0, MEM_RELEASE);
    else
        std::free(data);
}

} // namespace

FileText::FileText(FileText&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0))
{
}

FileText& FileText::operator=(FileText&& other) noexcept
{
    if (this != &other) {
        Free(data_, Mapped());
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

FileText::~FileText() { Free(data_, Mapped()); }

void FileText::Reserve(std::size_t capacity)
{
    if (capacity <= capacity_)
        return;
    if (capacity < kMappedFrom) {
        void* bytes = std::realloc(data_, capacity);
        if (bytes == nullptr)
            throw std::bad_alloc();
        data_ = static_cast<char*>(bytes);
        capacity_ = capacity;
        return;
    }
    // Windows cannot grow pages in place as mremap does: new pages, the bytes copied over.
    const std::size_t bytes = RoundUpToPages(capacity);
    void* pages = ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (pages == nullptr)
        throw std::bad_alloc();
    if (data_ != nullptr)
        std::memcpy(pages, data_, size_);
    Free(data_, Mapped());
    data_ = static_cast<char*>(pages);
    capacity_ = bytes;
}

void FileText::ReleaseBefore(std::size_t offset)
{
    const std::size_t bytes = std::min(offset, size_) / PageSize() * PageSize();
    if (bytes == 0 || !Mapped())
        return;
    // Decommitted and committed again: the pages read as zeros if touched, and cost nothing
    // until then.
    ::VirtualFree(data_, bytes, MEM_DECOMMIT);
    ::VirtualAlloc(data_, bytes, MEM_COMMIT, PAGE_READWRITE);
}

} // namespace lobby
