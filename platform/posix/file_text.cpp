#include "platform/file_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace lobby {

namespace {

std::size_t PageSize()
{
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t RoundUpToPages(std::size_t bytes)
{
    const std::size_t page = PageSize();
    return (bytes + page - 1) / page * page;
}

void Free(char* data, std::size_t capacity, bool mapped)
{
    if (data == nullptr)
        return;
    if (mapped)
        ::munmap(data, capacity);
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
    const bool mapped = Mapped();
    void* pages = mapped ? ::mremap(data_, capacity_, bytes, MREMAP_MAYMOVE)
                         : ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        throw std::bad_alloc();
    if (!mapped && data_ != nullptr) {
        std::memcpy(pages, data_, size_);
        std::free(data_);
    }
    data_ = static_cast<char*>(pages);
    capacity_ = bytes;
}

void FileText::ReleaseBefore(std::size_t offset)
{
    const std::size_t bytes = std::min(offset, size_) / PageSize() * PageSize();
    // Anonymous pages given back read as zeros if touched again, and cost nothing until then.
    if (bytes > 0 && Mapped())
        ::madvise(data_, bytes, MADV_DONTNEED);
}

} // namespace lobby
