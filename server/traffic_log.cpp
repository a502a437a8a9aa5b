#include "server/traffic_log.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cerrno>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/io_error.h"
#include "server/date_text.h"

namespace {

// How far back from the end an end-of-file mark is looked for when a file is reopened.
constexpr std::int64_t kEndMarkWindow = 128;
constexpr char kEndMark = 0x1A;
// Lines written in a row after a write failure before another failure is reported again.
constexpr int kLinesToMend = 1000;

[[noreturn]] void ThrowErrno(int errnoValue) { throw InOutErrorFromErrno(errnoValue); }

// Cuts the file at the first end-of-file mark among its last bytes, as text files written
// by older tools may end with one.
void CutAtEndMark(int fd, std::int64_t size)
{
    const std::int64_t start = std::max<std::int64_t>(0, size - kEndMarkWindow);
    std::array<char, kEndMarkWindow> tail{};
    std::int64_t got = 0;
    while (got < size - start) {
        const ssize_t n = ::pread(fd, tail.data() + got, static_cast<std::size_t>(size - start - got), start + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ThrowErrno(errno);
        if (n == 0)
            break; // the file shrank under us; look at what was read
        got += n;
    }
    const auto* mark = std::find(tail.data(), tail.data() + got, kEndMark);
    if (mark == tail.data() + got)
        return;
    if (::ftruncate(fd, start + (mark - tail.data())) != 0)
        ThrowErrno(errno);
}

// Takes back the first bytes of a line whose write failed half-way, so the next line does
// not run on from a fragment. Best effort: the write's own error is the one the caller must
// see, so a failure here leaves the fragment and is not raised over it.
void CutPartialLine(int fd, std::size_t written)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_size < static_cast<off_t>(written))
        return;
    if (::ftruncate(fd, status.st_size - static_cast<off_t>(written)) != 0)
        return;
}

} // namespace

TrafficLog::TrafficLog(const Clock& clock, const RegionalSettings& settings, std::string folder,
                       ReportFunction report)
    : clock_(clock), settings_(settings), folder_(std::move(folder)), report_(std::move(report))
{
    if (!report_)
        throw std::invalid_argument("TrafficLog needs a report function");
}

void TrafficLog::Open()
{
    CloseFile();
    logDate_ = DateText(settings_, clock_.Now());
    try {
        OpenDayFile();
        failureReported_ = false;
    } catch (const EInOutError&) {
        // The caller shows this one; later retries stay quiet until a file has been open.
        failureReported_ = true;
        throw;
    }
}

void TrafficLog::CheckRotation() { CheckRotationAt(clock_.Now()); }

void TrafficLog::WriteReceived(const std::string& fromIp, const std::string& text)
{
    const LocalDateTime now = clock_.Now();
    WriteLine(now, fromIp + ": " + TimeText(settings_, now) + " " + text);
}

void TrafficLog::WriteSent(const std::string& address, const std::string& message)
{
    const LocalDateTime now = clock_.Now();
    WriteLine(now, "> " + TimeText(settings_, now) + " para: " + address + " " + message);
}

void TrafficLog::Close() { CloseFile(); }

void TrafficLog::CheckRotationAt(const LocalDateTime& now)
{
    const std::string today = DateText(settings_, now);
    if (file_.IsOpen()) {
        if (today == logDate_)
            return;
        CloseFile();
    }
    logDate_ = today;
    try {
        OpenDayFile();
        failureReported_ = false;
    } catch (const EInOutError& error) {
        if (failureReported_)
            return;
        failureReported_ = true;
        report_(error.Message());
    }
}

// Opens folder + LogDate + ".txt" for appending, creating it when missing, locks it and
// cuts an end-of-file mark. Only a file that is fully ready replaces file_, so a failure
// at any step leaves the log without a file and never empties an existing one (the lock is
// taken before anything is changed, so a file another server writes is not touched).
void TrafficLog::OpenDayFile()
{
    const std::string name = FileName();
    FileDescriptor fd(::open(name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd.IsOpen())
        ThrowErrno(errno);
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
        ThrowErrno(errno);
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0)
        ThrowErrno(errno);
    // A fifo or a device under the day's name would block the server or swallow the lines.
    if (!S_ISREG(status.st_mode))
        throw EInOutError(InOutErrorMessage(io_error::kAccessDenied), io_error::kAccessDenied);
    CutAtEndMark(fd.Get(), status.st_size);
    file_ = std::move(fd);
}

void TrafficLog::CloseFile()
{
    const int error = file_.Close();
    if (error != 0)
        ThrowErrno(error);
}

// Writes one line with its CR LF by write(2), so it has reached the operating system when
// this returns. With no file open the line is dropped: the failure that left the log
// without a file has been reported already. A line that fails to be written is dropped too,
// its written part cut off again so the next line starts clean, and the failure reported
// once until a line gets through again.
void TrafficLog::WriteLine(const LocalDateTime& now, const std::string& line)
{
    CheckRotationAt(now);
    if (!file_.IsOpen())
        return;
    const std::string bytes = line + "\r\n";
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(file_.Get(), bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            if (written > 0)
                CutPartialLine(file_.Get(), written);
            linesSinceWriteFailure_ = 0;
            if (!writeFailureReported_) {
                writeFailureReported_ = true;
                report_(InOutErrorFromErrno(error).Message());
            }
            return;
        }
        written += static_cast<std::size_t>(n);
    }
    // Near a full disk short lines still fit now and then; only a log that takes lines again
    // for a good while counts as mended, so the next failure is news.
    if (writeFailureReported_ && ++linesSinceWriteFailure_ >= kLinesToMend) {
        writeFailureReported_ = false;
        linesSinceWriteFailure_ = 0;
    }
}
