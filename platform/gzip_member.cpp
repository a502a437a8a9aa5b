#include "platform/gzip_member.h"

#include <vector>
#include <zlib.h>

namespace lobby {

namespace {

constexpr std::size_t kOutputPiece = 64 * 1024;
constexpr int kUnixOs = 3;

} // namespace

struct GzipMember::State {
    std::string name;
    z_stream stream{};
    gz_header header{};
    std::vector<unsigned char> out = std::vector<unsigned char>(kOutputPiece);
};

GzipMember::GzipMember(std::string name, std::int64_t modifiedSeconds, Output output)
    : state_(std::make_unique<State>()), output_(std::move(output))
{
    state_->name = std::move(name);
    if (deflateInit2(&state_->stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw Exception("Out of memory");
    state_->header.os = kUnixOs;
    // The header holds 32 bits of time; a time it cannot hold is left out, as gzip does.
    state_->header.time = modifiedSeconds > 0 && modifiedSeconds <= 0xFFFFFFFFLL ? static_cast<uLong>(modifiedSeconds) : 0;
    state_->header.name = reinterpret_cast<Bytef*>(state_->name.data());
    deflateSetHeader(&state_->stream, &state_->header);
}

GzipMember::~GzipMember() { deflateEnd(&state_->stream); }

void GzipMember::Feed(const unsigned char* data, std::size_t size, bool finish)
{
    z_stream& stream = state_->stream;
    std::vector<unsigned char>& out = state_->out;
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    int result = Z_OK;
    do {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        result = deflate(&stream, finish ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR)
            throw Exception("the compressor failed");
        const std::size_t produced = out.size() - stream.avail_out;
        output_(out.data(), produced);
        written_ += produced;
    } while (stream.avail_out == 0);
    if (finish && result != Z_STREAM_END)
        throw Exception("the compressor failed");
}

std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t size)
{
    return static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

} // namespace lobby
