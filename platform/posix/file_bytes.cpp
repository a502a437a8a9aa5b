#include "platform/file_bytes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/exception.h"
#include "platform/posix/file_descriptor.h"

namespace lobby {

std::optional<std::string> ReadWholeFile(const std::string& path)
{
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file.IsOpen()) {
        if (errno == ENOENT)
            return std::nullopt;
        throw Exception("cannot read " + path + ": " + std::strerror(errno));
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.Get(), buffer, sizeof buffer);
        if (got == 0)
            return bytes;
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw Exception("cannot read " + path + ": " + std::strerror(errno));
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<std::uint64_t> FileSize(const std::string& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

} // namespace lobby
