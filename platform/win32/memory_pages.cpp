// The pages under FileText on Windows: VirtualAlloc's, which cannot grow in place as mremap does.
#include <cstring>
#include <new>

#include <windows.h>

#include "platform/memory_pages.h"

namespace lobby::memory_pages {

std::size_t PageSize()
{
    static const std::size_t size = [] {
        SYSTEM_INFO information{};
        ::GetSystemInfo(&information);
        return static_cast<std::size_t>(information.dwPageSize);
    }();
    return size;
}

char* Map(std::size_t bytes)
{
    void* pages = ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (pages == nullptr)
        throw std::bad_alloc();
    return static_cast<char*>(pages);
}

// New pages, the bytes copied over.
char* Grow(char* pages, std::size_t /*oldBytes*/, std::size_t newBytes, std::size_t keep)
{
    char* grown = Map(newBytes);
    std::memcpy(grown, pages, keep);
    ::VirtualFree(pages, 0, MEM_RELEASE);
    return grown;
}

void Unmap(char* pages, std::size_t /*bytes*/) { ::VirtualFree(pages, 0, MEM_RELEASE); }

// Decommitted and committed again: the pages read as zeros if touched, and cost nothing
// until then.
void Drop(char* pages, std::size_t bytes)
{
    ::VirtualFree(pages, bytes, MEM_DECOMMIT);
    ::VirtualAlloc(pages, bytes, MEM_COMMIT, PAGE_READWRITE);
}

} // namespace lobby::memory_pages
