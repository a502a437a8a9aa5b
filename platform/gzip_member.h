#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/exception.h"

namespace lobby {

// One gzip member written piece by piece, carrying a file's name and modification time in its
// header as gzip itself does (gunzip -N gives the name back). zlib does the work, the same
// library on every system. Raises Exception ("Out of memory", "the compressor failed").
class GzipMember {
public:
    // Takes every piece of the member as it comes out; may raise, which ends the member.
    using Output = std::function<void(const unsigned char* data, std::size_t size)>;

    GzipMember(std::string name, std::int64_t modifiedSeconds, Output output);
    ~GzipMember();
    GzipMember(const GzipMember&) = delete;
    GzipMember& operator=(const GzipMember&) = delete;

    // Compresses the bytes and hands out what comes of them; finish ends the member (header,
    // data and the trailer with CRC and length all handed out once it returns).
    void Feed(const unsigned char* data, std::size_t size, bool finish);
    std::uint64_t Written() const { return written_; }

private:
    struct State;
    std::unique_ptr<State> state_;
    Output output_;
    std::uint64_t written_ = 0;
};

// The CRC-32 gzip's trailer holds, continued over more bytes (start with 0).
std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t size);

} // namespace lobby
