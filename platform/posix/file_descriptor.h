#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace lobby {

// Owns one POSIX file descriptor and closes it when it goes, so no path out of a function
// (an exception included) leaks it. Move-only.
class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // A descriptor dropped without an explicit Close has nobody left to report a failure
    // to; owners that must know whether closing worked call Close themselves.
    ~FileDescriptor() { Close(); }

    int Get() const noexcept { return fd_; }
    bool IsOpen() const noexcept { return fd_ >= 0; }

    // Closes now. Returns 0, or the errno of close(2); the descriptor is released either
    // way (retrying close on Linux could close a descriptor another open has reused).
    int Close() noexcept
    {
        if (fd_ < 0)
            return 0;
        const int result = ::close(std::exchange(fd_, -1));
        return result == 0 ? 0 : errno;
    }

private:
    int fd_ = -1;
};

} // namespace lobby
