#include "platform/file_bytes.h"

#include "platform/exception.h"
#include "platform/file_system.h"

namespace lobby {

// Over the files by handle, which already open the name itself and never a link under it.
std::optional<std::string> ReadWholeFile(const std::string& path)
{
    try {
        std::optional<OpenFile> file = OpenToRead(path);
        if (!file)
            return std::nullopt;
        std::string bytes;
        unsigned char buffer[65536];
        while (const std::size_t got = file->ReadAt(buffer, sizeof buffer, bytes.size()))
            bytes.append(reinterpret_cast<const char*>(buffer), got);
        return bytes;
    } catch (const SystemError& error) {
        throw Exception("cannot read " + path + ": " + error.Why().text);
    }
}

std::optional<std::uint64_t> FileSize(const std::string& path)
{
    const std::optional<FileStatus> status = StatusOf(path);
    if (!status)
        return std::nullopt;
    return status->size;
}

} // namespace lobby
