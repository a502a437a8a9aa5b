#include "server/traffic_log.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <clocale>
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

bool SameMoment(const LocalDateTime& a, const LocalDateTime& b)
{
    return a.second == b.second && a.minute == b.minute && a.hour == b.hour && a.day == b.day &&
           a.month == b.month && a.year == b.year && a.weekday == b.weekday;
}

bool SameSettings(const RegionalSettings& a, const RegionalSettings& b)
{
    return a.shortDatePicture == b.shortDatePicture && a.timePicture == b.timePicture &&
           a.timePicture12 == b.timePicture12 && a.amDesignator == b.amDesignator &&
           a.pmDesignator == b.pmDesignator;
}

// The name of the C library's current LC_TIME locale; asking does not change it.
std::string_view TimeLocaleName()
{
    const char* name = std::setlocale(LC_TIME, nullptr);
    return name ? std::string_view(name) : std::string_view();
}

// Lines up to this long (every line but a long chat one) are joined on the stack.
constexpr std::size_t kStackLine = 512;

// Joins pieces and a CR LF into one line and hands it to consume, which must not keep it.
// This runs for every datagram in and out, so a line that fits costs no allocation. The
// pieces are copied before consume runs, so they may point anywhere a nested handler could
// change afterwards.
template <class Consume>
void JoinLine(std::initializer_list<std::string_view> pieces, Consume&& consume)
{
    std::size_t size = 2;
    for (const std::string_view piece : pieces)
        size += piece.size();
    std::array<char, kStackLine> onStack;
    std::string onHeap;
    char* line = onStack.data();
    if (size > onStack.size()) {
        onHeap.resize(size);
        line = onHeap.data();
    }
    char* at = line;
    for (const std::string_view piece : pieces) {
        std::memcpy(at, piece.data(), piece.size());
        at += piece.size();
    }
    *at++ = '\r';
    *at = '\n';
    consume(std::string_view(line, size));
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
    logDate_ = TextsAt(clock_.Now()).date;
    try {
        OpenDayFile();
        failureReported_ = false;
    } catch (const EInOutError&) {
        // The caller shows this one; later retries stay quiet until a file has been open.
        failureReported_ = true;
        throw;
    }
}

void TrafficLog::CheckRotation() { CheckRotationTo(TextsAt(clock_.Now()).date); }

void TrafficLog::WriteReceived(std::string_view fromIp, std::string_view text)
{
    const RenderedTexts& texts = TextsAt(clock_.Now());
    JoinLine({fromIp, ": ", texts.time, " ", text}, [&](std::string_view line) { WriteLine(texts.date, line); });
}

void TrafficLog::WriteSent(std::string_view address, std::string_view message)
{
    const RenderedTexts& texts = TextsAt(clock_.Now());
    JoinLine({"> ", texts.time, " para: ", address, " ", message},
             [&](std::string_view line) { WriteLine(texts.date, line); });
}

void TrafficLog::Close() { CloseFile(); }

const TrafficLog::RenderedTexts& TrafficLog::TextsAt(const LocalDateTime& now)
{
    const std::string_view locale = TimeLocaleName();
    if (texts_.valid && SameMoment(texts_.moment, now) && SameSettings(texts_.settings, settings_) &&
        texts_.locale == locale)
        return texts_;
    // Rendered before anything is stored, so a rendering that raises leaves no half-made entry.
    std::string date = DateText(settings_, now);
    std::string time = TimeText(settings_, now);
    texts_.valid = false;
    texts_.moment = now;
    texts_.settings = settings_;
    texts_.locale.assign(locale);
    texts_.date = std::move(date);
    texts_.time = std::move(time);
    texts_.valid = true;
    return texts_;
}

void TrafficLog::CheckRotationTo(std::string_view today)
{
    if (file_.IsOpen()) {
        if (today == logDate_)
            return;
        CloseFile();
    }
    const bool dayClosed = today != logDate_;
    logDate_.assign(today);
    if (dayClosed && OnDayClosed)
        OnDayClosed();
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
void TrafficLog::WriteLine(std::string_view today, std::string_view bytes)
{
    CheckRotationTo(today);
    if (!file_.IsOpen())
        return;
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
