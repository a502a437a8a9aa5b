#include "platform/stream.h"

#include <algorithm>
#include <cstring>

#include "platform/exception.h"

namespace lobby {

std::int64_t TStream::Size()
{
    const std::int64_t saved = Seek(0, SeekOrigin::Current);
    const std::int64_t size = Seek(0, SeekOrigin::End);
    Seek(saved, SeekOrigin::Beginning);
    return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count)
{
    if (count != 0 && Read(buffer, count) != count)
        throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count)
{
    if (count != 0 && Write(buffer, count) != count)
        throw EStreamError("Stream write error");
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count)
{
    const auto size = static_cast<std::int64_t>(bytes_.size());
    // A position before the start (Seek takes any offset) reads nothing, as one past the end.
    if (count <= 0 || position_ < 0 || position_ >= size)
        return 0;
    const std::int64_t n = std::min(count, size - position_);
    std::memcpy(buffer, bytes_.data() + position_, static_cast<std::size_t>(n));
    position_ += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count)
{
    if (count <= 0 || position_ < 0)
        return 0;
    const auto end = static_cast<std::size_t>(position_ + count);
    if (end > bytes_.size())
        bytes_.resize(end);
    std::memcpy(bytes_.data() + position_, buffer, static_cast<std::size_t>(count));
    position_ += count;
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, SeekOrigin origin)
{
    switch (origin) {
    case SeekOrigin::Beginning: position_ = offset; break;
    case SeekOrigin::Current: position_ += offset; break;
    case SeekOrigin::End: position_ = static_cast<std::int64_t>(bytes_.size()) + offset; break;
    }
    return position_;
}

void TMemoryStream::Clear()
{
    bytes_.clear();
    position_ = 0;
}

} // namespace lobby
