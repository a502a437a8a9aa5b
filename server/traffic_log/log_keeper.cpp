#include "server/traffic_log/log_keeper.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <locale.h>
#include <map>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/io_error.h"
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
std::optional<int> DaysSinceChanged(const struct stat& status, int today)
{
    const std::time_t changed = status.st_mtim.tv_sec;
    std::tm parts{};
    if (::localtime_r(&changed, &parts) == nullptr)
        return std::nullopt;
    return today - DayNumber(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
}

bool ChangedLongAgo(const struct stat& status, const LogPassRequest& request)
{
    const std::optional<int> age = DaysSinceChanged(status, request.today);
    return age && *age > request.options.keepDays;
}

void RemoveOrRecord(const std::string& path, LogPassReport& report)
{
    if (::unlink(path.c_str()) == 0) {
        ++report.removedFiles;
        return;
    }
    if (errno != ENOENT)
        RecordFailure(report, "The old traffic log " + path + " could not be removed (" +
                                  InOutErrorFromErrno(errno).Message() + ")");
}

// Removes path when it is a regular file (never a link, a folder or anything else) changed
// long enough ago.
void RemoveIfOld(const std::string& path, const LogPassRequest& request, LogPassReport& report)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || !ChangedLongAgo(status, request))
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
    struct stat status {};
    if (::lstat(PathOf(request.folder, files.dateText, kPlainLogSuffix).c_str(), &status) == 0)
        return;
    const std::string path = PathOf(request.folder, files.dateText, kPartialLogSuffix);
    if (::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode))
        ::unlink(path.c_str());
}

// The folder's files that are named as a day's log files, by date text.
std::map<std::string, DayFiles> ListDayFiles(const LogPassRequest& request, LogPassReport& report)
{
    std::map<std::string, DayFiles> found;
    std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(request.folder.c_str()), ::closedir);
    if (!folder) {
        RecordFailure(report, "The traffic logs in " + request.folder + " could not be listed (" +
                                  InOutErrorFromErrno(errno).Message() + ")");
        return found;
    }
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string_view name = entry->d_name;
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

// The thread's own LC_TIME locale for as long as it lives, so month and weekday names are
// rendered as the loop renders them without touching the process's locale, which the loop
// thread may switch at any time (SIGHUP).
class ThreadTimeLocale {
public:
    explicit ThreadTimeLocale(const std::string& name)
    {
        locale_ = ::newlocale(LC_TIME_MASK, name.c_str(), static_cast<locale_t>(0));
        if (locale_ == static_cast<locale_t>(0))
            locale_ = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
        if (locale_ != static_cast<locale_t>(0))
            previous_ = ::uselocale(locale_);
    }
    ThreadTimeLocale(const ThreadTimeLocale&) = delete;
    ThreadTimeLocale& operator=(const ThreadTimeLocale&) = delete;
    ~ThreadTimeLocale()
    {
        if (locale_ == static_cast<locale_t>(0))
            return;
        ::uselocale(previous_);
        ::freelocale(locale_);
    }

private:
    locale_t locale_ = static_cast<locale_t>(0);
    locale_t previous_ = LC_GLOBAL_LOCALE;
};

// The worker gets only the CPU nobody else wants: SCHED_IDLE is below every nice value, so
// the loop (and anything else on the machine) takes the core back the moment it wakes.
// nice 19 first, in case the system refuses SCHED_IDLE. Best effort both: the worker does
// the same work at any priority, only less politely.
void RunThisThreadAtIdlePriority()
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    sched_param parameters{};
    parameters.sched_priority = 0;
    ::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &parameters);
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

    Pacer() : last_(ThreadCpuNs()) {}

    void operator()(CompressionStep step)
    {
        if (step != CompressionStep::Writing)
            return;
        const long long used = ThreadCpuNs() - last_;
        const long long pause = std::min(used * kSleepPerCpu, kLongestSleepNs);
        if (pause > 0) {
            timespec wait{static_cast<time_t>(pause / 1'000'000'000), static_cast<long>(pause % 1'000'000'000)};
            while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
            }
        }
        last_ = ThreadCpuNs();
    }

private:
    static long long ThreadCpuNs()
    {
        timespec now{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    }

    long long last_;
};

// Signals (SIGTERM, SIGHUP) are the loop's to take.
void BlockSignalsOnThisThread()
{
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

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
    // Back to the normal policy (its nice value stays 19), so a machine busy with other work
    // does not keep the shutdown waiting for the worker to be given a moment to stop.
    sched_param parameters{};
    parameters.sched_priority = 0;
    ::pthread_setschedparam(worker_.native_handle(), SCHED_OTHER, &parameters);
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
    BlockSignalsOnThisThread();
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
