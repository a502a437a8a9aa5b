#include "server/registry_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/file_descriptor.h"

namespace lobby {

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

std::size_t PageSize()
{
    static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t RoundUpToPages(std::size_t bytes)
{
    const std::size_t page = PageSize();
    return (bytes + page - 1) / page * page;
}

} // namespace

FileText::FileText(FileText&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0))
{
}

FileText& FileText::operator=(FileText&& other) noexcept
{
    if (this != &other) {
        if (data_ != nullptr)
            ::munmap(data_, capacity_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

FileText::~FileText()
{
    if (data_ != nullptr)
        ::munmap(data_, capacity_);
}

void FileText::Reserve(std::size_t capacity)
{
    if (capacity <= capacity_)
        return;
    const std::size_t bytes = RoundUpToPages(capacity);
    void* pages = data_ == nullptr
                      ? ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                      : ::mremap(data_, capacity_, bytes, MREMAP_MAYMOVE);
    if (pages == MAP_FAILED)
        throw std::bad_alloc();
    data_ = static_cast<char*>(pages);
    capacity_ = bytes;
}

void FileText::Append(const char* bytes, std::size_t count)
{
    if (size_ + count > capacity_)
        Reserve(std::max(size_ + count, capacity_ * 2));
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
}

void FileText::ReleaseBefore(std::size_t offset)
{
    const std::size_t bytes = std::min(offset, size_) / PageSize() * PageSize();
    // Anonymous pages given back read as zeros if touched again, and cost nothing until then.
    if (bytes > 0)
        ::madvise(data_, bytes, MADV_DONTNEED);
}

std::optional<FileText> ReadRegistryFile(const std::string& path)
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
    FileText text;
    // One byte more than the file holds, so a file that has grown since is still read whole.
    text.Reserve(static_cast<std::size_t>(info.st_size) + 1);
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
        text.Append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

namespace {

// Hands the snapshot's lines to fd a megabyte at a time: copied into one buffer first, since
// a million lines given to the system one piece each cost it twice the bytes' own write.
bool WriteLines(int fd, const RegistrySnapshot& snapshot)
{
    constexpr std::size_t kPiece = 1 << 20;
    std::string piece;
    piece.reserve(kPiece);
    for (std::size_t i = 0; i < snapshot.Rows(); ++i) {
        const std::string_view line = snapshot.Line(i);
        if (piece.size() + line.size() > kPiece) {
            if (!WriteAll(fd, piece.data(), piece.size()))
                return false;
            piece.clear();
        }
        piece += line;
    }
    return WriteAll(fd, piece.data(), piece.size());
}

// Replaces the file at path with what writeBody writes to a temporary file beside it, which
// is flushed to disk and renamed over the old one; see WriteFileReplacing.
template <class WriteBody>
void ReplaceFile(const std::string& path, WriteBody&& writeBody)
{
    const std::string temporary = path + ".tmp";
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!file.IsOpen())
        throw RegistrySaveError("Cannot create file " + path);
    // Set before a byte is written, and also on a temporary file left over from a crash,
    // which may have any mode: the replacement keeps the old file's, a first file gets 0600.
    struct stat old {};
    const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0600;
    ::fchmod(file.Get(), mode);
    const bool written = writeBody(file.Get()) && ::fsync(file.Get()) == 0;
    if (file.Close() != 0 || !written) {
        ::unlink(temporary.c_str());
        throw RegistrySaveError("Stream write error");
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw RegistrySaveError("Cannot create file " + path);
    }
    // The rename itself must reach the disk, or a crash could bring back the old file.
    FileDescriptor folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.IsOpen())
        ::fsync(folder.Get());
}

} // namespace

void WriteFileReplacing(const std::string& path, const std::string& bytes)
{
    ReplaceFile(path, [&](int fd) { return WriteAll(fd, bytes.data(), bytes.size()); });
}

void WriteRegistryFile(const std::string& path, const RegistrySnapshot& snapshot)
{
    ReplaceFile(path, [&](int fd) { return WriteLines(fd, snapshot); });
}

std::string RegistryText(const RegistrySnapshot& snapshot, std::vector<std::size_t>* lineStarts)
{
    std::size_t size = 0;
    for (std::size_t i = 0; i < snapshot.Rows(); ++i)
        size += snapshot.Line(i).size();
    std::string text;
    text.reserve(size);
    if (lineStarts) {
        lineStarts->clear();
        lineStarts->reserve(snapshot.Rows());
    }
    for (std::size_t i = 0; i < snapshot.Rows(); ++i) {
        if (lineStarts)
            lineStarts->push_back(text.size());
        text += snapshot.Line(i);
    }
    return text;
}

} // namespace lobby
