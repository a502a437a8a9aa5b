#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/regional_settings.h"
#include "server/traffic_log/log_compression.h"

namespace lobby {

// What becomes of the traffic log's closed days (--compress-logs, --keep-logs). Both off by
// default: the files then stay exactly as the log wrote them.
struct LogKeepingOptions {
    bool compress = false;      // closed days become DATE.txt.gz
    std::int32_t keepDays = 0;  // closed days older than this are removed; 0: all are kept
    bool Any() const { return compress || keepDays > 0; }
};

// One pass over the data folder, as the loop thread saw things when it asked for it.
struct LogPassRequest {
    std::string folder;                  // ends with "/"
    LogKeepingOptions options;
    std::set<std::string> keptNames;     // never touched whatever they look like (cadastro.txt)
    RegionalSettings settings;           // the date texts the log names its files with
    int today = 0;                       // day number (DayNumber) of the clock's date
    std::string openDateText;            // the day the log writes now: never touched
};

// What a pass did, for the operator.
struct LogPassReport {
    int compressedDays = 0;
    std::uint64_t plainBytes = 0;      // of the days compressed
    std::uint64_t compressedBytes = 0; // what they take now
    int removedFiles = 0;
    int failures = 0;
    std::string firstFailure;          // the first failure's whole text
    bool stopped = false;              // abandoned on request

    // "Traffic logs: 2 days compressed (1.3 GB to 104.2 MB), 3 old files removed"; empty when
    // nothing was done.
    std::string Notice() const;
    // The first failure, and how many more there were; empty when none.
    std::string FailureText() const;
};

// Runs one pass on the calling thread: lists the folder; takes as the log's files only the
// names DATE.txt, DATE.txt.gz and DATE.txt.gz.tmp whose DATE is the date text of a day up to
// today under request.settings (rendered in the calling thread's LC_TIME locale), each file
// counted as the latest such day; leaves today's day and request.openDateText alone. Then,
// oldest day first:
// - a day older than keepDays (today minus its day, in days) loses its files, each only when
//   its modification time is as old too (a copy brought back by hand stays until it ages),
//   and none while another process holds the day's lock (a server whose clock says
//   otherwise still writes it);
// - with compress, a closed day's plain file still there is compressed (CompressLogDay);
// - a DATE.txt.gz.tmp with no plain file beside it, left by a crash, is removed.
// Anything else in the folder is never touched.
LogPassReport RunLogPass(const LogPassRequest& request, const CompressionControl& control);

// The traffic log's closed days kept in order off the loop: passes run one at a time on a
// worker thread of its own, at the lowest CPU priority the system has (SCHED_IDLE: it gets
// only what the loop and everyone else leave) and paced to about an eighth of one core, so
// compressing a 10 GB day never holds up a request. What a pass did, and a failure (once per
// pass), reach the operator through the loop, on the loop's thread.
class LogKeeper {
public:
    using ReportFunction = std::function<void(const std::string&)>;

    // loop must outlive the keeper. onFailure and onNotice run on the loop's thread, never
    // after the keeper is gone. keptNames: files of the folder that are never touched.
    LogKeeper(EventLoop& loop, std::string folder, LogKeepingOptions options, std::set<std::string> keptNames,
              ReportFunction onFailure, ReportFunction onNotice);
    LogKeeper(const LogKeeper&) = delete;
    LogKeeper& operator=(const LogKeeper&) = delete;
    // Stops: the work in hand is abandoned (a day being compressed keeps its plain file).
    ~LogKeeper();

    // Asks for a pass, from the loop's thread: at start-up and whenever the log has moved on
    // to another day. now, settings and the LC_TIME locale are taken as they are at the call;
    // openDateText is the day the log writes. Returns at once; a pass asked for while one
    // runs follows it, and several such requests make one pass.
    void RequestPass(const LocalDateTime& now, const RegionalSettings& settings, std::string openDateText);

    // Waits until no pass is running or asked for, at most timeout. For tests.
    bool WaitUntilIdle(std::chrono::milliseconds timeout);

private:
    struct Pending {
        LogPassRequest request;
        std::string localeName;
    };
    // What posted reports reach; cleared when the keeper goes, so a report still queued in the
    // loop then does nothing.
    struct Sink {
        ReportFunction onFailure;
        ReportFunction onNotice;
    };

    void Work();
    void Deliver(const LogPassReport& report);

    EventLoop& loop_;
    const std::string folder_;
    const LogKeepingOptions options_;
    const std::set<std::string> keptNames_;
    std::shared_ptr<Sink> sink_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::optional<Pending> pending_;
    bool running_ = false;
    bool quit_ = false;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

// A size in bytes as the operator reads it: "512 bytes", "12.3 kB", "1.3 GB" (powers of 1000).
std::string ByteSizeText(std::uint64_t bytes);

} // namespace lobby
