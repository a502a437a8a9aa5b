// What FileText does the same on every system; the pages under it are each system's own
// (memory_pages.h).
#include "platform/file_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/memory_pages.h"

namespace lobby {

namespace {

std::size_t RoundUpToPages(std::size_t bytes)
{
    const std::size_t page = memory_pages::PageSize();
    return (bytes + page - 1) / page * page;
}

void Free(char* data, std::size_t capacity, bool mapped)
{
    if (data == nullptr)
        return;
    if (mapped)
        memory_pages::Unmap(data, capacity);
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
        Free(data_, capacity_, Mapped());
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

FileText::~FileText() { Free(data_, capacity_, Mapped()); }

void FileText::Append(const char* bytes, std::size_t count)
{
    if (count == 0)
        return;
    if (size_ + count > capacity_)
        Reserve(std::max(size_ + count, capacity_ * 2));
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
}

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
    const std::size_t bytes = RoundUpToPages(capacity);
    if (Mapped()) {
        data_ = memory_pages::Grow(data_, capacity_, bytes, size_);
    } else {
        char* pages = memory_pages::Map(bytes);
        if (data_ != nullptr)
            std::memcpy(pages, data_, size_);
        std::free(data_);
        data_ = pages;
    }
    capacity_ = bytes;
}

void FileText::ReleaseBefore(std::size_t offset)
{
    const std::size_t page = memory_pages::PageSize();
    const std::size_t bytes = std::min(offset, size_) / page * page;
    if (bytes > 0 && Mapped())
        memory_pages::Drop(data_, bytes);
}

} // namespace lobby
