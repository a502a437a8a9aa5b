// What FileText does the same on every system; the pages under it are each system's own.
#include "platform/file_text.h"

#include <algorithm>
#include <cstring>

namespace lobby {

void FileText::Append(const char* bytes, std::size_t count)
{
    if (count == 0)
        return;
    if (size_ + count > capacity_)
        Reserve(std::max(size_ + count, capacity_ * 2));
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
}

} // namespace lobby
