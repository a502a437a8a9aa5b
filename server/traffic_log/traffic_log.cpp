#include "server/traffic_log/traffic_log.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <clocale>
#include <stdexcept>

#include "platform/io_error.h"
#include "server/traffic_log/date_text.h"

namespace lobby {

namespace {

// How far back from the end an end-of-file mark is looked for when a file is reopened.
constexpr std::int64_t kEndMarkWindow = 128;
constexpr char kEndMark = 0x1A;
// Lines written in a row after a write failure before another failure is reported again.
constexpr int kLinesToMend = 1000;
// The most pieces a line is joined from.
constexpr std::size_t kMaxPieces = 6;

// The extra bytes each byte takes in a log line: 0 for most, 1 for those escaped as a
// backslash and a letter, 3 for the end-of-file mark (\x1a).
constexpr std::array<std::uint8_t, 256> kEscapeExtra = [] {
    std::array<std::uint8_t, 256> extra{};
    for (const unsigned char c : {'\\', '\r', '\n', '\0'})
        extra[c] = 1;
    extra[static_cast<unsigned char>(kEndMark)] = 3;
    return extra;
}();

std::size_t EscapedSize(std::string_view text)
{
    std::size_t size = text.size();
    for (const char c : text)
        size += kEscapeExtra[static_cast<unsigned char>(c)];
    return size;
}

// Writes text's escaped bytes, size of them (its EscapedSize), at out; returns their end.
char* CopyEscaped(std::string_view text, std::size_t size, char* out)
{
    if (size == text.size()) // nothing to escape, as in almost every line
        return std::copy(text.begin(), text.end(), out);
    for (const char c : text) {
        switch (c) {
        case '\\': *out++ = '\\'; *out++ = '\\'; break;
        case '\r': *out++ = '\\'; *out++ = 'r'; break;
        case '\n': *out++ = '\\'; *out++ = 'n'; break;
        case '\0': *out++ = '\\'; *out++ = '0'; break;
        case kEndMark: out = std::copy_n("\\x1a", 4, out); break;
        default: *out++ = c;
        }
    }
    return out;
}

// The log's error for a file operation that failed.
EInOutError LogError(const FileError& error)
{
    return InOutErrorOnFile(error.Why(), error.Path());
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

std::string EscapeForLog(std::string_view text)
{
    std::string escaped(EscapedSize(text), '\0');
    CopyEscaped(text, escaped.size(), escaped.data());
    return escaped;
}

TrafficLog::TrafficLog(const Clock& clock, const RegionalSettings& settings, DataFolder& folder,
                       ReportFunction report)
    : clock_(clock), settings_(settings), folder_(folder), report_(std::move(report))
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
    if (file_) {
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
    try {
        std::unique_ptr<AppendFile> file = folder_.OpenForAppending(logDate_ + ".txt");
        const std::string tail = file->Tail(kEndMarkWindow);
        // Text files written by older tools may end with a mark; what follows it is no text.
        if (const auto mark = tail.find(kEndMark); mark != std::string::npos && !file->TakeBack(tail.size() - mark))
            throw FileError(FileError::Step::kWrite, FileName(),
                            {SystemReason::Kind::kOther, io_error::kDeviceFault, "its end-of-file mark cannot be cut"});
        file_ = std::move(file);
    } catch (const FileError& error) {
        throw LogError(error);
    }
}

void TrafficLog::CloseFile()
{
    if (!file_)
        return;
    const SystemReason error = file_->Close();
    file_.reset();
    if (error.Failed())
        throw InOutErrorOnFile(error, FileName());
}

// A line is gathered only while a file is open: with none, the failure that left the log
// without a file has been reported already, and the line is dropped.
void TrafficLog::Gather(std::string_view today, std::initializer_list<std::string_view> pieces)
{
    if (file_ && today == logDate_) {
        // Sized once and copied into place: this runs for every line, two or more a request.
        std::array<std::size_t, kMaxPieces> sizes{};
        std::size_t size = 2;
        std::size_t i = 0;
        for (const std::string_view piece : pieces)
            size += sizes[i++] = EscapedSize(piece);
        const std::size_t start = gathered_.size();
        gathered_.resize(start + size);
        char* out = gathered_.data() + start;
        i = 0;
        for (const std::string_view piece : pieces)
            out = CopyEscaped(piece, sizes[i++], out);
        out[0] = '\r';
        out[1] = '\n';
        lineEnds_.push_back(gathered_.size());
        return;
    }
    // A rotation, or a retry of the day's file: the line is joined first, since a report made
    // on the way may render the texts the pieces point into again.
    std::string line;
    for (const std::string_view piece : pieces)
        line += EscapeForLog(piece);
    CheckRotationTo(today);
    if (!file_)
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
    if (!file_) { // lines are gathered only into an open file; kept safe all the same
        gathered_.clear();
        lineEnds_.clear();
        return;
    }
    SystemReason error;
    const std::size_t written = file_->Write(gathered_, error);
    const auto whole = std::upper_bound(lineEnds_.begin(), lineEnds_.end(), written);
    const std::size_t wholeLines = static_cast<std::size_t>(whole - lineEnds_.begin());
    const std::size_t kept = wholeLines == 0 ? 0 : lineEnds_[wholeLines - 1];
    gathered_.clear();
    lineEnds_.clear();
    if (!error.Failed()) {
        CountWritten(wholeLines);
        return;
    }
    // The line that broke off is taken back, so the next line does not run on from a
    // fragment. Best effort: the write's own error is the one the operator must hear of.
    if (written > kept)
        file_->TakeBack(written - kept);
    linesSinceWriteFailure_ = 0;
    if (!writeFailureReported_) {
        writeFailureReported_ = true;
        report_(InOutErrorOnFile(error, FileName()).Message());
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
