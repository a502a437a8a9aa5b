#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>
#include <string_view>

#include "platform/clock.h"
#include "platform/data_folder.h"
#include "platform/regional_settings.h"

namespace lobby {

// The bytes of text as a log line holds them: a CR, an LF or a NUL would break the line (a
// client could write a forged line of its own), a 1A byte would be taken for the end-of-file
// mark that Open cuts, so each is written as an escape (\r, \n, \0, \x1a), and a backslash,
// which starts them, is doubled. Every other byte stays as it is, so a line reads back to
// exactly the bytes received or sent.
std::string EscapeForLog(std::string_view text);

// The daily traffic log: one text file per day, named after the date text with ".txt", in
// which the server writes a line for every datagram it receives and every message it sends.
// Lines end with CR LF and hold the bytes as received or sent, but for the few that a line
// cannot hold as they are (see EscapeForLog): one datagram is always one line, whatever a
// client puts in it.
//
// Lines are either written at once (WriteReceived, WriteSent: one write(2) before the call
// returns) or gathered (AppendReceived, AppendSent) and handed to the system together by
// Flush in one write: the lobby gathers what one handler logs and flushes it before the
// handler returns and before anything that could observe the log, so the file reads exactly
// as if every line had been written on its own, at a fraction of the system calls.
// While the file is open it holds an exclusive advisory lock (flock): a second server in
// the same folder on the same day cannot open it ("I/O error 32"); readers are not hindered.
//
// When no file could be opened (at start-up or at a change of date) the log does not stop
// the server: lines are dropped, the failure is reported once through the report callback
// (or, at start-up, raised by Open to its caller), and every later rotation check, which is
// every line offered, tries the day's file again. A new failure after a success is reported
// again. A line that cannot be written to an open file is handled the same way.
class TrafficLog {
public:
    // Receives the text of an error that the log could not raise to a caller (a failed
    // opening at a change of date); the operator must see it. Must not throw.
    using ReportFunction = std::function<void(const std::string&)>;

    // clock and settings are read afresh for every line, so a re-read of the regional
    // settings takes effect at the next line; they and folder, where the days' files are,
    // must outlive the log. report must be callable.
    TrafficLog(const Clock& clock, const RegionalSettings& settings, DataFolder& folder, ReportFunction report);
    TrafficLog(const TrafficLog&) = delete;
    TrafficLog& operator=(const TrafficLog&) = delete;

    // Opens the day's file at start-up: LogDate becomes today's date text and the file
    // folder + LogDate + ".txt" is opened for appending, or created when it does not exist.
    // An existing file with a 1A byte (end-of-file mark) among its last 128 bytes is cut at
    // the first such byte. An existing file is never emptied, and never opened through a
    // symbolic link. Raises EInOutError, naming the file and the reason, when the file can
    // be neither opened nor created; the log then stays without a file, counts the failure
    // as reported, and tries again at the next rotation check.
    void Open();

    // Runs before every line: when today's date text differs from LogDate, closes the file
    // and opens the new day's file as Open does (an existing file of that date is appended
    // to, so its earlier lines survive). With no file open it tries the day's file again.
    // A failure to open is reported once and leaves the log without a file; a failure to
    // close the old file raises EInOutError.
    void CheckRotation();

    // Gathers the line WriteReceived would write, after the rotation check (a rotation first
    // hands what was gathered to the day's file it belongs to). Dropped when no file is open.
    void AppendReceived(std::string_view fromIp, std::string_view text);
    // Gathers the line WriteSent would write, as AppendReceived does.
    void AppendSent(std::string_view address, std::string_view message);
    // Hands the gathered lines to the system in one write. When that fails (a full disk, say)
    // the whole lines that reached the file stay, the one cut short is taken back, the rest
    // are dropped, and the failure is reported as for WriteReceived. Never raises.
    void Flush();
    bool HasGathered() const { return !gathered_.empty(); }

    // Writes fromIp + ": " + time text + " " + text + CR LF. A line that cannot be written
    // (a full disk, say) is dropped, what of it reached the file is taken back, and the
    // failure is reported once through the report callback; later lines are tried as usual,
    // and a failure is reported again only after 1000 lines in a row were written (short
    // lines slip onto a nearly full disk now and then; that is no recovery). Never raises:
    // a log that cannot take lines must not stop the lobby nor flood the operator.
    void WriteReceived(std::string_view fromIp, std::string_view text);

    // Writes "> " + time text + " para: " + address + " " + message + CR LF.
    void WriteSent(std::string_view address, std::string_view message);

    // Flushes, then closes the file; with none open it does nothing. Raises EInOutError when closing
    // fails (the file is released all the same).
    void Close();

    // Called on the log's thread when the rotation check moves LogDate to another day, just
    // before that day's file is opened: the day before is closed. Runs inside the writing of
    // a line, so it must be quick and must not throw. May stay empty.
    std::function<void()> OnDayClosed;

    // The date text of the file open, or of the one last tried.
    const std::string& LogDate() const { return logDate_; }
    bool IsOpen() const { return file_ != nullptr; }
    // folder + LogDate + ".txt".
    std::string FileName() const { return folder_.PathOf(logDate_ + ".txt"); }

private:
    // The date and time texts of one moment, rendered under one set of regional settings and
    // one LC_TIME locale of the C library (which names months and weekdays for the date
    // picture). Lines come by the thousand in a second and rendering the pictures costs
    // several times the rest of a line, so the texts are rendered again only when the second,
    // the settings or the locale change.
    struct RenderedTexts {
        bool valid = false;
        LocalDateTime moment;
        RegionalSettings settings;
        std::string locale;
        std::string date;
        std::string time;
    };
    // DateText and TimeText of now under the current settings, from the last rendering when
    // nothing they depend on has changed since.
    const RenderedTexts& TextsAt(const LocalDateTime& now);

    // The rotation check for the date text today. today may point into the rendered texts,
    // which a report made from here can render again (its nested handlers write lines of
    // their own), so it is not read once a report may have run.
    void CheckRotationTo(std::string_view today);
    void OpenDayFile();
    void CloseFile();
    // Checks the rotation for today; then, when a file is open, appends the pieces and a
    // CR LF as one gathered line.
    void Gather(std::string_view today, std::initializer_list<std::string_view> pieces);
    // Counts lines written, for when a failure is reported again.
    void CountWritten(std::size_t lines);

    const Clock& clock_;
    const RegionalSettings& settings_;
    DataFolder& folder_;
    const ReportFunction report_;
    std::string logDate_;
    std::unique_ptr<AppendFile> file_;
    bool failureReported_ = false;   // the operator knows the log has no file
    bool writeFailureReported_ = false; // the operator knows lines are being dropped
    int linesSinceWriteFailure_ = 0;    // lines written in a row since then
    RenderedTexts texts_;
    bool settingsSeenThisBatch_ = false; // TextsAt compared settings and locale since the last Flush
    std::string gathered_;               // lines not yet handed to the system
    std::vector<std::size_t> lineEnds_;  // where each gathered line ends in gathered_
};

} // namespace lobby
