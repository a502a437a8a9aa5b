#pragma once

#include <cstddef>

namespace lobby {

// Memory in pages of its own, straight from the system, for the texts large enough that
// giving back the pages already read is worth a map (see FileText). Each system has its own
// file; what is done with the pages is the same on every system (platform/file_text.cpp).
namespace memory_pages {

// The system's page size, in bytes.
std::size_t PageSize();
// Fresh pages of bytes (a whole number of pages), readable and writable; raises
// std::bad_alloc when the system has no memory for them.
char* Map(std::size_t bytes);
// Pages of oldBytes made newBytes long, the first keep bytes kept, where the system can,
// in place; the old pages are gone after. Raises std::bad_alloc, the old pages then intact.
char* Grow(char* pages, std::size_t oldBytes, std::size_t newBytes, std::size_t keep);
void Unmap(char* pages, std::size_t bytes);
// The first bytes of pages (a whole number of pages) given back: they cost nothing until
// touched again, and then read as zeros.
void Drop(char* pages, std::size_t bytes);

} // namespace memory_pages

} // namespace lobby
