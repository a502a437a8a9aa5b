// Closed days of the traffic log compressed and removed (--compress-logs, --keep-logs), on
// real files in a temporary folder; compressed files are read back with gzip itself.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system_data_folder.h"
#include "server/traffic_log/log_compression.h"
#include "server/traffic_log/log_day_names.h"
#include "server/traffic_log/log_keeper.h"
#include "server/traffic_log/traffic_log.h"
#include "support/child_program.h"
#include "support/form_under_test.h"
#include "support/temp_folder.h"

using namespace lobby;

namespace {

namespace fs = std::filesystem;
using namespace test_support;

// What gzip itself reads out of a file.
std::string Gunzip(const fs::path& path)
{
    std::string bytes;
    FILE* pipe = ::popen(("gzip -dc '" + path.string() + "'").c_str(), "r");
    char piece[65536];
    while (const std::size_t got = std::fread(piece, 1, sizeof piece, pipe))
        bytes.append(piece, got);
    EXPECT_EQ(::pclose(pipe), 0) << path;
    return bytes;
}

// Log-like bytes over several compression pieces, with CR LF, 8-bit bytes, NUL and 1A.
std::string DayBytes(int lines)
{
    std::string bytes;
    for (int i = 0; i < lines; ++i)
        bytes += "10.0." + std::to_string(i % 250) + ".1: 12:00:0" + std::to_string(i % 10) + " p" +
                 std::to_string(i * 7919 % 1000) + "|pw|msg|ol\xE1 \x1A" + std::string(1, '\0') + "\r\n";
    return bytes;
}

// Sets the file's modification time to noon of a local date.
void SetModified(const fs::path& path, int year, int month, int day)
{
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = 12;
    parts.tm_isdst = -1;
    const timespec times[2] = {{std::mktime(&parts), 0}, {std::mktime(&parts), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class StillClock : public Clock {
public:
    explicit StillClock(LocalDateTime at) : now(at) {}
    LocalDateTime Now() const override { return now; }
    LocalDateTime now;
};

const RegionalSettings kBrazil{"%d/%m/%Y", "%H:%M:%S", "%I:%M:%S %p", "AM", "PM"};
const int kToday = DayNumber(2026, 12, 7);

LogPassRequest PassIn(const TempFolder& folder, bool compress, int keepDays)
{
    return LogPassRequest{folder.Slash(), {compress, keepDays}, {"cadastro.txt"}, kBrazil, kToday, "07-12-2026"};
}

} // namespace

TEST(LogDayNames, ANameIsItsLatestDayUpToToday)
{
    EXPECT_EQ(DateOfDay(DayNumber(2024, 2, 29)).day, 29);
    EXPECT_EQ(DateOfDay(DayNumber(2026, 12, 7)).weekday, 1); // a Monday
    const RegionalSettings noYear{"%d/%m", "%H:%M:%S", "", "", ""};
    const auto days = LatestDaysNamed(noYear, kToday, {"06-12", "08-12", "32-12"});
    EXPECT_EQ(days, (std::map<std::string, int>{{"06-12", DayNumber(2026, 12, 6)}, {"08-12", DayNumber(2025, 12, 8)}}));
    const RegionalSettings named{"%d %b %Y", "%H:%M:%S", "", "", ""}; // month names: strftime
    EXPECT_EQ(LatestDaysNamed(named, kToday, {"01-Dec 2026"}).at("01-Dec 2026"), DayNumber(2026, 12, 1));
}

// Alone, onto an earlier compression of the same day (the clock was set back), and onto one
// that already holds the plain file (a crash came between the rename and the removal).
TEST(LogCompression, ADayReadsBackToTheSameBytes)
{
    const std::string day = DayBytes(40000), later = DayBytes(3);
    for (const std::string& before : {std::string(), std::string("earlier"), std::string("same")}) {
        SCOPED_TRACE(before);
        TempFolder folder;
        const fs::path plain = folder / "06-12-2026.txt", compressed = folder / "06-12-2026.txt.gz";
        const auto writePlain = [&](const std::string& bytes) {
            WriteBytes(plain, bytes);
            ::chmod(plain.c_str(), 0640);
        };
        writePlain(before == "earlier" ? later : day);
        if (!before.empty()) {
            ASSERT_EQ(CompressLogDay(folder.Slash(), "06-12-2026", {}).result, CompressionOutcome::Result::Compressed);
            writePlain(day);
        }
        const CompressionOutcome outcome = CompressLogDay(folder.Slash(), "06-12-2026", {});
        EXPECT_EQ(outcome.result, before == "same" ? CompressionOutcome::Result::AlreadyCompressed
                                                   : CompressionOutcome::Result::Compressed);
        EXPECT_FALSE(fs::exists(plain));
        EXPECT_FALSE(fs::exists(folder / "06-12-2026.txt.gz.tmp"));
        const std::string expected = before == "earlier" ? later + day : day;
        EXPECT_EQ(Gunzip(compressed), expected);
        EXPECT_EQ(fs::status(compressed).permissions(), fs::perms(0640));
    }
}

// The process dies at each step of a compression; the day must be whole in the plain file
// or in the compressed one, and the next attempt finishes the work.
TEST(LogCompression, SigkillAtAnyStepLeavesThePlainFileOrBothNeverNeither)
{
    const std::string day = DayBytes(30000);
    for (CompressionStep crashAt : {CompressionStep::Writing, CompressionStep::Synced, CompressionStep::Renamed,
                                    CompressionStep::Removed}) {
        SCOPED_TRACE(static_cast<int>(crashAt));
        TempFolder folder;
        const fs::path plain = folder / "06-12-2026.txt", compressed = folder / "06-12-2026.txt.gz";
        WriteBytes(plain, day);
        ChildProgram compression({LOBBY_COMPRESS_LOG_DAY_PATH, folder.Slash(), "06-12-2026",
                                  std::to_string(static_cast<int>(crashAt))});
        ASSERT_EQ(compression.WaitForExit(std::chrono::seconds(20)), 128 + SIGKILL) << compression.Err();

        const bool plainWhole = fs::exists(plain) && ReadBytes(plain) == day;
        const bool compressedWhole = fs::exists(compressed) && Gunzip(compressed) == day;
        EXPECT_TRUE(plainWhole || compressedWhole);
        EXPECT_EQ(fs::exists(plain), crashAt != CompressionStep::Removed);
        EXPECT_EQ(fs::exists(compressed), crashAt >= CompressionStep::Renamed);

        RunLogPass(PassIn(folder, true, 0), {}); // the next start-up
        EXPECT_FALSE(fs::exists(plain));
        EXPECT_FALSE(fs::exists(folder / "06-12-2026.txt.gz.tmp"));
        EXPECT_EQ(Gunzip(compressed), day);
    }
}

TEST(LogKeeping, RetentionRemovesOnlyOldLogFilesAndCompressesClosedDays)
{
    enum Fate { Kept, Removed, Compressed };
    struct Case {
        const char* name;
        int modifiedDaysAgo;
        Fate fate;
    };
    const Case cases[] = {
        {"07-12-2026.txt", 0, Kept},          // today's
        {"06-12-2026.txt", 1, Compressed},    // closed yesterday
        {"07-11-2026.txt", 30, Compressed},   // 30 days old: kept 30 days
        {"06-11-2026.txt", 31, Removed},      // 31: gone, whatever form it takes
        {"05-11-2026.txt.gz", 32, Removed},
        {"01-01-2025.txt.gz.tmp", 700, Removed},
        {"04-11-2026.txt", 0, Compressed},    // named old, changed today (copied back by hand)
        {"cadastro.txt", 400, Kept},          // none of these is a log file of this server
        {"notes.txt", 400, Kept},
        {"2026-01-01.txt", 400, Kept},
        {"31-02-2026.txt", 400, Kept},
        {"01-01-2020.txt.bak", 400, Kept},
        {"08-12-2026.txt", 400, Kept},        // a day to come
    };
    TempFolder folder;
    for (const Case& c : cases) {
        WriteBytes(folder / c.name, c.name);
        const LocalDateTime modified = DateOfDay(kToday - c.modifiedDaysAgo);
        SetModified(folder / c.name, modified.year, modified.month, modified.day);
    }
    fs::create_directory(folder / "01-01-2020.txt");

    const LogPassReport report = RunLogPass(PassIn(folder, true, 30), {});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = folder / c.name;
        EXPECT_EQ(fs::exists(path), c.fate == Kept);
        if (c.fate == Compressed) {
            EXPECT_EQ(Gunzip(path.string() + ".gz"), c.name);
        }
    }
    EXPECT_TRUE(fs::is_directory(folder / "01-01-2020.txt"));
    EXPECT_EQ(report.compressedDays, 3);
    EXPECT_EQ(report.removedFiles, 3);
    EXPECT_EQ(report.FailureText(), "");
}

// Another server whose clock reads an earlier day still writes that day's file: neither
// compression nor retention touches it until that server lets it go.
TEST(LogKeeping, ADayHeldOpenByAnotherServerIsNotTouched)
{
    TempFolder folder;
    SystemDataFolder files(folder.Slash());
    std::vector<std::unique_ptr<TrafficLog>> others;
    std::vector<std::unique_ptr<StillClock>> clocks;
    for (int day : {1, 6}) { // past --keep-logs 3, and within it
        clocks.push_back(std::make_unique<StillClock>(LocalDateTime{2026, 12, day, 23, 0, 0, 0}));
        others.push_back(std::make_unique<TrafficLog>(*clocks.back(), kBrazil, files, [](const std::string&) {}));
        others.back()->Open();
        others.back()->WriteReceived("10.0.0.1", "a|b|fc+|");
        SetModified(folder / (others.back()->LogDate() + ".txt"), 2026, 12, day);
    }
    const std::string held = ReadBytes(folder / "01-12-2026.txt");

    LogPassReport report = RunLogPass(PassIn(folder, true, 3), {});
    EXPECT_EQ(report.Notice() + report.FailureText(), "");
    EXPECT_EQ(ReadBytes(folder / "01-12-2026.txt"), held);
    EXPECT_TRUE(fs::exists(folder / "06-12-2026.txt"));
    EXPECT_FALSE(fs::exists(folder / "06-12-2026.txt.gz"));

    for (auto& log : others)
        log->Close();
    report = RunLogPass(PassIn(folder, true, 3), {});
    EXPECT_EQ(report.compressedDays, 1);
    EXPECT_EQ(report.removedFiles, 1);
    EXPECT_FALSE(fs::exists(folder / "01-12-2026.txt"));
}

namespace {

// A loop that only queues posts, from any thread, for the test to run.
class PostQueueLoop : public EventLoop {
public:
    std::unique_ptr<Registration> WatchReadable(Watchable, std::function<void()>) override { return {}; }
    std::unique_ptr<Registration> WatchReadableReentrant(Watchable, std::function<void()>) override { return {}; }
    std::unique_ptr<Registration> WatchWritable(Watchable, std::function<void()>) override { return {}; }
    std::unique_ptr<Registration> StartTimer(int, std::function<void()>) override
    {
        return std::make_unique<Registration>();
    }
    void Post(std::function<void()> fn) override
    {
        std::lock_guard lock(mutex_);
        posts_.push_back(std::move(fn));
    }
    void ProcessEvents(int) override {}
    void Quit() override {}
    void RunPosts()
    {
        std::vector<std::function<void()>> posts;
        {
            std::lock_guard lock(mutex_);
            posts.swap(posts_);
        }
        for (auto& post : posts)
            post();
    }

private:
    std::mutex mutex_;
    std::vector<std::function<void()>> posts_;
};

} // namespace

// The form's own wiring: the first line of a new day has the day before compressed off the
// loop, and the operator hears of it through the loop.
TEST(LogKeeping, TheFirstLineOfANewDayHasTheDayBeforeCompressed)
{
    PostQueueLoop loop;
    FormUnderTest lobby([&](FormEnvironment& environment) {
        environment.loop = &loop;
        environment.logKeeping.compress = true;
    });
    ASSERT_TRUE(lobby.form->LogKeeping().Keeper()->WaitUntilIdle(std::chrono::seconds(60)));
    lobby.Join("10.0.0.1", "ana");
    const std::string dayBefore = lobby.LogText();
    EXPECT_NE(lobby.form->Status().Line().find(", log today " + ByteSizeText(dayBefore.size())), std::string::npos);

    lobby.clock.now.day = 8;
    lobby.Receive("10.0.0.1", "ana|pw|fc+|");
    ASSERT_TRUE(lobby.form->LogKeeping().Keeper()->WaitUntilIdle(std::chrono::seconds(60)));
    loop.RunPosts();
    EXPECT_FALSE(fs::exists(lobby.folder / "07-12-2026.txt"));
    EXPECT_EQ(Gunzip(lobby.folder / "07-12-2026.txt.gz"), dayBefore);
    ASSERT_EQ(lobby.notifier.notices.size(), 1u);
    EXPECT_EQ(lobby.notifier.notices[0].text.rfind("Traffic logs: 1 day compressed (", 0), 0u);
    EXPECT_TRUE(lobby.notifier.errors.empty());
}
