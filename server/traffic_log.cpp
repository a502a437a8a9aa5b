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

namespace lobby {

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

// Opens path with flags (O_CREAT excluded), creating the file when it does not exist. A file
// made here is readable and writable by its owner only, whatever the umask: the log holds
// every password in clear. A file that exists keeps its mode. Not open, with errno, on failure.
FileDescriptor OpenCreatingOwnerOnly(const std::string& path, int flags)
{
    // Bounded: each turn lost a race with another process creating or removing the file.
    for (int attempt = 0; attempt < 4; ++attempt) {
        FileDescriptor existing(::open(path.c_str(), flags));
        if (existing.IsOpen() || errno != ENOENT)
            return existing;
        FileDescriptor created(::open(path.c_str(), flags | O_CREAT | O_EXCL, 0600));
        if (!created.IsOpen() && errno == EEXIST)
            continue;
        if (created.IsOpen())
            ::fchmod(created.Get(), 0600); // the umask may have taken a bit of 0600 away
        return created;
    }
    errno = EEXIST;
    return FileDescriptor();
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
    Flush();
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

void TrafficLog::AppendReceived(std::string_view fromIp, std::string_view text)
{
    const RenderedTexts& texts = TextsAt(clock_.Now());
    Gather(texts.date, {fromIp, ": ", texts.time, " ", text});
}

void TrafficLog::AppendSent(std::string_view address, std::string_view message)
{
    const RenderedTexts& texts = TextsAt(clock_.Now());
    Gather(texts.date, {"> ", texts.time, " para: ", address, " ", message});
}

void TrafficLog::WriteReceived(std::string_view fromIp, std::string_view text)
{
    AppendReceived(fromIp, text);
    Flush();
}

void TrafficLog::WriteSent(std::string_view address, std::string_view message)
{
    AppendSent(address, message);
    Flush();
}

void TrafficLog::Close()
{
    Flush();
    CloseFile();
}

const TrafficLog::RenderedTexts& TrafficLog::TextsAt(const LocalDateTime& now)
{
    // Within one batch of lines nothing else runs (a batch ends with Flush, which comes
    // before anything that lets other events in), so the settings and the locale, which only
    // an event changes, are compared once a batch; the moment, for every line.
    if (texts_.valid && settingsSeenThisBatch_ && SameMoment(texts_.moment, now))
        return texts_;
    settingsSeenThisBatch_ = true;
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
        // What was gathered belongs to the day that is closing.
        Flush();
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
    FileDescriptor fd = OpenCreatingOwnerOnly(name, O_RDWR | O_APPEND | O_CLOEXEC);
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

// A line is gathered only while a file is open: with none, the failure that left the log
// without a file has been reported already, and the line is dropped.
void TrafficLog::Gather(std::string_view today, std::initializer_list<std::string_view> pieces)
{
    if (file_.IsOpen() && today == logDate_) {
        // Sized once and copied into place: this runs for every line, two or more a request.
        std::size_t size = 2;
        for (const std::string_view piece : pieces)
            size += piece.size();
        std::size_t at = gathered_.size();
        gathered_.resize(at + size);
        char* out = gathered_.data();
        for (const std::string_view piece : pieces) {
            std::copy(piece.begin(), piece.end(), out + at); // an empty piece may hold no pointer
            at += piece.size();
        }
        out[at] = '\r';
        out[at + 1] = '\n';
        lineEnds_.push_back(gathered_.size());
        return;
    }
    // A rotation, or a retry of the day's file: the line is joined first, since a report made
    // on the way may render the texts the pieces point into again.
    std::string line;
    for (const std::string_view piece : pieces)
        line += piece;
    CheckRotationTo(today);
    if (!file_.IsOpen())
        return;
    gathered_ += line;
    gathered_ += "\r\n";
    lineEnds_.push_back(gathered_.size());
}

// Writes what was gathered by write(2), so it has reached the operating system when this
// returns. A failure keeps the whole lines that got through, cuts off the one that broke off
// (so the next line starts clean) and drops the rest; it is reported once until lines get
// through again for a good while.
void TrafficLog::Flush()
{
    settingsSeenThisBatch_ = false;
    if (gathered_.empty())
        return;
    if (!file_.IsOpen()) { // lines are gathered only into an open file; kept safe all the same
        gathered_.clear();
        lineEnds_.clear();
        return;
    }
    std::size_t written = 0;
    int error = 0;
    while (written < gathered_.size()) {
        const ssize_t n = ::write(file_.Get(), gathered_.data() + written, gathered_.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    const auto whole = std::upper_bound(lineEnds_.begin(), lineEnds_.end(), written);
    const std::size_t wholeLines = static_cast<std::size_t>(whole - lineEnds_.begin());
    const std::size_t kept = wholeLines == 0 ? 0 : lineEnds_[wholeLines - 1];
    gathered_.clear();
    lineEnds_.clear();
    if (error == 0) {
        CountWritten(wholeLines);
        return;
    }
    if (written > kept)
        CutPartialLine(file_.Get(), written - kept);
    linesSinceWriteFailure_ = 0;
    if (!writeFailureReported_) {
        writeFailureReported_ = true;
        report_(InOutErrorFromErrno(error).Message());
    }
}

// Near a full disk short lines still fit now and then; only a log that takes lines again
// for a good while counts as mended, so the next failure is news.
void TrafficLog::CountWritten(std::size_t lines)
{
    if (!writeFailureReported_)
        return;
    linesSinceWriteFailure_ += static_cast<int>(std::min<std::size_t>(lines, kLinesToMend));
    if (linesSinceWriteFailure_ >= kLinesToMend) {
        writeFailureReported_ = false;
        linesSinceWriteFailure_ = 0;
    }
}

} // namespace lobby
