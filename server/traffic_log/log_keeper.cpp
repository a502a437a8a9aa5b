#include "server/traffic_log/log_keeper.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/io_error.h"
#include "platform/worker_thread.h"
#include "server/traffic_log/log_day_names.h"

namespace lobby {

namespace {

// The files of one day found in the folder.
struct DayFiles {
    std::string dateText;
    int day = 0;
    bool plain = false;
    bool compressed = false;
    bool partial = false;
};

std::string PathOf(const std::string& folder, const std::string& dateText, std::string_view suffix)
{
    return folder + dateText + std::string(suffix);
}

void RecordFailure(LogPassReport& report, std::string text)
{
    if (report.failures++ == 0)
        report.firstFailure = std::move(text);
}

// Days from the file's last change, by the local calendar, to today; nothing when the time
// cannot be read as a local date (the file then counts as new).
std::optional<int> DaysSinceChanged(const FileStatus& status, int today)
{
    const std::optional<LocalDateTime> changed = LocalTimeAt(status.modifiedSeconds);
    if (!changed)
        return std::nullopt;
    return today - DayNumber(changed->year, changed->month, changed->day);
}

bool ChangedLongAgo(const FileStatus& status, const LogPassRequest& request)
{
    const std::optional<int> age = DaysSinceChanged(status, request.today);
    return age && *age > request.options.keepDays;
}

void RemoveOrRecord(const std::string& path, LogPassReport& report)
{
    const SystemReason refused = RemoveFile(path);
    if (!refused.Failed()) {
        ++report.removedFiles;
        return;
    }
    if (refused.kind != SystemReason::Kind::kNotFound)
        RecordFailure(report, "The old traffic log " + path + " could not be removed (" +
                                  InOutError(refused).Message() + ")");
}

// Removes path when it is a regular file (never a link, a folder or anything else) changed
// long enough ago.
void RemoveIfOld(const std::string& path, const LogPassRequest& request, LogPassReport& report)
{
    const std::optional<FileStatus> status = StatusOf(path);
    if (!status || !status->regular || !ChangedLongAgo(*status, request))
        return;
    RemoveOrRecord(path, report);
}

// A day past keepDays. Its plain file is removed under its lock, so a day some server still
// writes (its clock says otherwise) is left whole, compressed copy included.
void RemoveOldDay(const LogPassRequest& request, const DayFiles& files, LogPassReport& report)
{
    if (files.plain) {
        const std::string path = PathOf(request.folder, files.dateText, kPlainLogSuffix);
        const LockedLogFile plain = LockLogFile(path);
        switch (plain.result) {
        case LockedLogFile::Result::NotThere: break;
        case LockedLogFile::Result::HeldOpen: return;
        case LockedLogFile::Result::Failed:
            RecordFailure(report, "The old traffic log " + path + " could not be removed (" + plain.error + ")");
            return;
        case LockedLogFile::Result::Locked:
            if (ChangedLongAgo(plain.status, request))
                RemoveOrRecord(path, report);
            break;
        }
    }
    if (files.compressed)
        RemoveIfOld(PathOf(request.folder, files.dateText, kCompressedLogSuffix), request, report);
    if (files.partial)
        RemoveIfOld(PathOf(request.folder, files.dateText, kPartialLogSuffix), request, report);
}

void CompressDay(const LogPassRequest& request, const DayFiles& files, const CompressionControl& control,
                 LogPassReport& report)
{
    const CompressionOutcome outcome = CompressLogDay(request.folder, files.dateText, control);
    switch (outcome.result) {
    case CompressionOutcome::Result::Compressed:
    case CompressionOutcome::Result::AlreadyCompressed:
        ++report.compressedDays;
        report.plainBytes += outcome.plainBytes;
        report.compressedBytes += outcome.compressedBytes;
        break;
    case CompressionOutcome::Result::Stopped: report.stopped = true; break;
    case CompressionOutcome::Result::Failed:
        RecordFailure(report, "The traffic log " + PathOf(request.folder, files.dateText, kPlainLogSuffix) +
                                  " could not be compressed (" + outcome.error + "); it stays as it is");
        break;
    case CompressionOutcome::Result::NotThere:
    case CompressionOutcome::Result::HeldOpen: break;
    }
}

// A temporary compressed file with no plain file beside it is what a crash left behind (the
// one being written always has its plain file). Not counted: it was never a day's log.
void RemoveLeftover(const LogPassRequest& request, const DayFiles& files)
{
    if (StatusOf(PathOf(request.folder, files.dateText, kPlainLogSuffix)))
        return;
    const std::string path = PathOf(request.folder, files.dateText, kPartialLogSuffix);
    if (const std::optional<FileStatus> status = StatusOf(path); status && status->regular)
        RemoveFile(path);
}

// The folder's files that are named as a day's log files, by date text.
std::map<std::string, DayFiles> ListDayFiles(const LogPassRequest& request, LogPassReport& report)
{
    std::map<std::string, DayFiles> found;
    std::vector<std::string> names;
    try {
        names = ListFolder(request.folder);
    } catch (const SystemError& error) {
        RecordFailure(report, "The traffic logs in " + request.folder + " could not be listed (" +
                                  InOutError(error.Why()).Message() + ")");
        return found;
    }
    for (const std::string& name : names) {
        if (request.keptNames.count(std::string(name)) != 0)
            continue;
        const std::optional<LogFileName> split = SplitLogFileName(name);
        if (!split)
            continue;
        DayFiles& files = found[split->dateText];
        files.dateText = split->dateText;
        switch (split->kind) {
        case LogFileName::Kind::Plain: files.plain = true; break;
        case LogFileName::Kind::Compressed: files.compressed = true; break;
        case LogFileName::Kind::Partial: files.partial = true; break;
        }
    }
    return found;
}

// Keeps the compression to about an eighth of one core: after each piece the worker sleeps
// seven times the CPU time the piece took. Low priority alone is not enough where the loop
// shares its core with the worker (a server pinned to one core, or a small machine): a
// request that arrives while the worker runs wakes the loop by preempting it, not from an
// idle core, which costs the loop far more (measured: a quarter of a core of compression
// made the loop's own CPU time per request 15% higher); near its capacity that builds a
// queue. Pieces are short (under a millisecond), so the core is idle between them. A 1 GB
// day then takes about a minute instead of eight seconds, which nobody waits for.
class Pacer {
public:
    static constexpr long long kSleepPerCpu = 7;
    static constexpr long long kLongestSleepNs = 100'000'000;

    Pacer() : last_(ThisThreadCpuNanoseconds()) {}

    void operator()(CompressionStep step)
    {
        if (step != CompressionStep::Writing)
            return;
        const long long used = ThisThreadCpuNanoseconds() - last_;
        const long long pause = std::min(used * kSleepPerCpu, kLongestSleepNs);
        if (pause > 0)
            std::this_thread::sleep_for(std::chrono::nanoseconds(pause));
        last_ = ThisThreadCpuNanoseconds();
    }

private:
    long long last_;
};

} // namespace

LogPassReport RunLogPass(const LogPassRequest& request, const CompressionControl& control)
{
    LogPassReport report;
    std::map<std::string, DayFiles> found = ListDayFiles(request, report);
    std::set<std::string> dateTexts;
    for (const auto& entry : found)
        dateTexts.insert(entry.first);
    const std::map<std::string, int> days = LatestDaysNamed(request.settings, request.today, dateTexts);

    std::vector<DayFiles> closed;
    for (auto& [dateText, files] : found) {
        const auto day = days.find(dateText);
        if (day == days.end() || day->second >= request.today || dateText == request.openDateText)
            continue;
        files.day = day->second;
        closed.push_back(files);
    }
    std::sort(closed.begin(), closed.end(), [](const DayFiles& a, const DayFiles& b) { return a.day < b.day; });

    for (const DayFiles& files : closed) {
        if (control.stop && control.stop->load()) {
            report.stopped = true;
            break;
        }
        const int keepDays = request.options.keepDays;
        if (keepDays > 0 && request.today - files.day > keepDays)
            RemoveOldDay(request, files, report);
        // A plain file the retention kept (changed lately) is compressed like any closed day.
        if (request.options.compress && files.plain)
            CompressDay(request, files, control, report);
        else if (files.partial && !files.plain)
            RemoveLeftover(request, files);
    }
    return report;
}

std::string LogPassReport::Notice() const
{
    std::string text;
    if (compressedDays > 0) {
        text += std::to_string(compressedDays) + (compressedDays == 1 ? " day" : " days") + " compressed (" +
                ByteSizeText(plainBytes) + " to " + ByteSizeText(compressedBytes) + ")";
    }
    if (removedFiles > 0) {
        text += text.empty() ? "" : ", ";
        text += std::to_string(removedFiles) + (removedFiles == 1 ? " old file" : " old files") + " removed";
    }
    return text.empty() ? text : "Traffic logs: " + text;
}

std::string LogPassReport::FailureText() const
{
    if (failures == 0)
        return {};
    if (failures == 1)
        return firstFailure;
    return firstFailure + " (and " + std::to_string(failures - 1) + " more such failure" +
           (failures == 2 ? "" : "s") + " in the same pass)";
}

std::string ByteSizeText(std::uint64_t bytes)
{
    if (bytes < 1000)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(bytes) / 1000;
    std::size_t unit = 0;
    while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

LogKeeper::LogKeeper(EventLoop& loop, std::string folder, LogKeepingOptions options, std::set<std::string> keptNames,
                     ReportFunction onFailure, ReportFunction onNotice)
    : loop_(loop),
      folder_(std::move(folder)),
      options_(options),
      keptNames_(std::move(keptNames)),
      sink_(std::make_shared<Sink>(Sink{std::move(onFailure), std::move(onNotice)}))
{
    worker_ = std::thread([this] { Work(); });
}

LogKeeper::~LogKeeper()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    stop_ = true;
    wake_.notify_all();
    // Back to the normal class, so a machine busy with other work does not keep the shutdown
    // waiting for the worker to be given a moment to stop.
    LeaveIdlePriority(worker_);
    worker_.join();
    // Reports already posted run on this same thread, later: they must find nobody to call.
    sink_->onFailure = nullptr;
    sink_->onNotice = nullptr;
}

void LogKeeper::RequestPass(const LocalDateTime& now, const RegionalSettings& settings, std::string openDateText)
{
    Pending job;
    job.request.folder = folder_;
    job.request.options = options_;
    job.request.keptNames = keptNames_;
    job.request.settings = settings;
    job.request.today = DayNumber(now.year, now.month, now.day);
    job.request.openDateText = std::move(openDateText);
    const char* locale = std::setlocale(LC_TIME, nullptr);
    job.localeName = locale ? locale : "C";
    {
        std::lock_guard lock(mutex_);
        pending_ = std::move(job);
    }
    wake_.notify_one();
}

bool LogKeeper::WaitUntilIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return !running_ && !pending_; });
}

// The worker's loop. The mutex it shares with the loop thread is held only to hand a request
// over, a few instructions once a pass, so its low priority cannot keep the loop waiting.
void LogKeeper::Work()
{
    RunThisThreadAtIdlePriority();
    LeaveSignalsToTheLoop();
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return quit_ || pending_; });
        if (quit_)
            break;
        const Pending job = std::move(*pending_);
        pending_.reset();
        running_ = true;
        lock.unlock();

        LogPassReport report;
        try {
            const ThreadTimeLocale locale(job.localeName);
            report = RunLogPass(job.request, CompressionControl{&stop_, Pacer()});
        } catch (const std::exception& error) {
            RecordFailure(report, "The traffic logs in " + folder_ + " could not be kept (" + error.what() + ")");
        }
        if (!stop_)
            Deliver(report);

        lock.lock();
        running_ = false;
        idle_.notify_all();
    }
    running_ = false;
    idle_.notify_all();
}

void LogKeeper::Deliver(const LogPassReport& report)
{
    std::string failure = report.FailureText();
    std::string notice = report.Notice();
    if (failure.empty() && notice.empty())
        return;
    loop_.Post([sink = sink_, failure = std::move(failure), notice = std::move(notice)] {
        if (!failure.empty() && sink->onFailure)
            sink->onFailure(failure);
        if (!notice.empty() && sink->onNotice)
            sink->onNotice(notice);
    });
}

} // namespace lobby
