// The pages under FileText on POSIX systems: anonymous maps, grown in place where the kernel can.
#include <new>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/memory_pages.h"

namespace lobby::memory_pages {

std::size_t PageSize()
{
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

char* Map(std::size_t bytes)
{
    void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        throw std::bad_alloc();
    return static_cast<char*>(pages);
}

char* Grow(char* pages, std::size_t oldBytes, std::size_t newBytes, std::size_t /*keep: mremap keeps all*/)
{
    void* grown = ::mremap(pages, oldBytes, newBytes, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED)
        throw std::bad_alloc();
    return static_cast<char*>(grown);
}

void Unmap(char* pages, std::size_t bytes) { ::munmap(pages, bytes); }

// Anonymous pages given back read as zeros if touched again.
void Drop(char* pages, std::size_t bytes) { ::madvise(pages, bytes, MADV_DONTNEED); }

} // namespace lobby::memory_pages
