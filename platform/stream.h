#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lobby {

enum class SeekOrigin { Beginning, Current, End };

// A byte stream with a size and a position. Read and Write move as many bytes as they can
// and say how many; ReadBuffer and WriteBuffer demand the exact count and raise otherwise,
// which is what datagram code relies on to never send or keep a partial message.
class TStream {
public:
    virtual ~TStream() = default;

    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;

    std::int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::Beginning); }
    std::int64_t Size();

    // Raises EStreamError "Stream read error" unless exactly count bytes were read;
    // a count of 0 reads nothing and never fails.
    void ReadBuffer(void* buffer, std::int64_t count);
    // Raises EStreamError "Stream write error" unless exactly count bytes were written;
    // a count of 0 writes nothing, a negative count always fails.
    void WriteBuffer(const void* buffer, std::int64_t count);
};

// A stream over a growable byte buffer held in memory.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;

    void Clear();
    const char* Memory() const { return bytes_.data(); }
    // The whole content, whatever the position.
    std::string_view Bytes() const { return bytes_; }

private:
    std::string bytes_;
    std::int64_t position_ = 0;
};

} // namespace lobby
