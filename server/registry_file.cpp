#include "server/registry_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_descriptor.h"

namespace {

std::string FolderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

std::optional<std::string> ReadRegistryFile(const std::string& path)
{
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.IsOpen()) {
        if (errno == ENOENT)
            return std::nullopt;
        throw RegistryUnreadable("cannot read the registry " + path + ": " + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        const char* reason = S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file";
        throw RegistryUnreadable("cannot read the registry " + path + ": " + reason);
    }
    std::string text;
    text.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.Get(), chunk, sizeof chunk);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw RegistryUnreadable("cannot read the registry " + path + ": " + std::strerror(errno));
        }
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

void WriteFileReplacing(const std::string& path, const std::string& bytes)
{
    const std::string temporary = path + ".tmp";
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.IsOpen())
        throw EFCreateError("Cannot create file " + path);
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0)
        ::fchmod(file.Get(), old.st_mode & 07777); // the replacement keeps the old file's mode
    const bool written = WriteAll(file.Get(), bytes.data(), bytes.size()) && ::fsync(file.Get()) == 0;
    if (file.Close() != 0 || !written) {
        ::unlink(temporary.c_str());
        throw EStreamError("Stream write error");
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw EFCreateError("Cannot create file " + path);
    }
    // The rename itself must reach the disk, or a crash could bring back the old file.
    FileDescriptor folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.IsOpen())
        ::fsync(folder.Get());
}
