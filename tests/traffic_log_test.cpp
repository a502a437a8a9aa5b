// The daily traffic log on real files in a temporary folder, under a clock the tests step.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/exception.h"
#include "platform/system_data_folder.h"
#include "server/traffic_log/traffic_log.h"
#include "support/file_size_cap.h"

using namespace lobby;

namespace {

namespace fs = std::filesystem;

class StepClock : public Clock {
public:
    LocalDateTime Now() const override { return now; }
    LocalDateTime now{2026, 12, 6, 9, 5, 7, 0};
};

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

class TrafficLogTest : public testing::Test {
protected:
    TrafficLogTest()
    {
        char pattern[] = "/tmp/traffic_log_test.XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir = pattern;
    }
    ~TrafficLogTest() override
    {
        fs::remove_all(dir);
    }

    TrafficLog MakeLog(const fs::path& folder)
    {
        folders.push_back(std::make_unique<SystemDataFolder>(folder.string() + "/"));
        return TrafficLog(clock, settings, *folders.back(), [this](const std::string& text) { reports.push_back(text); });
    }
    fs::path File(const std::string& date) const { return dir / (date + ".txt"); }

    fs::path dir;
    StepClock clock;
    RegionalSettings settings{"%d/%m/%Y", "%H:%M:%S", "", "", ""};
    std::vector<std::string> reports;
    std::vector<std::unique_ptr<SystemDataFolder>> folders;
};

// Runs fn and returns the EInOutError it raises, failing the test when it raises none.
template <typename Fn>
EInOutError CatchInOutError(Fn fn)
{
    try {
        fn();
    } catch (const EInOutError& error) {
        return error;
    }
    ADD_FAILURE() << "no EInOutError raised";
    return EInOutError("", 0);
}

} // namespace

TEST_F(TrafficLogTest, WritesEachLineByteForByteAndAtOnce)
{
    TrafficLog log = MakeLog(dir);
    log.Open();
    EXPECT_TRUE(log.IsOpen());
    EXPECT_EQ(log.LogDate(), "06-12-2026");
    EXPECT_EQ(log.FileName(), dir.string() + "/06-12-2026.txt");

    const std::string request = "nick|pass|msg|ol\xE1 \x80\xFF|x";
    log.WriteReceived("192.168.0.7", request);
    EXPECT_EQ(ReadFile(File("06-12-2026")), "192.168.0.7: 09:05:07 " + request + "\r\n"); // no close needed

    // A re-read of the regional settings shows at the next line.
    settings = {"%d/%m/%Y", "%r", "%I:%M:%S %p", "AM", "PM"};
    clock.now.hour = 13;
    log.WriteSent("10.0.0.1", "rnk|a|1");
    EXPECT_EQ(ReadFile(File("06-12-2026")),
              "192.168.0.7: 09:05:07 " + request + "\r\n> 01:05:07 PM para: 10.0.0.1 rnk|a|1\r\n");
}

// A restart on the same day appends to the day's file, cut at an end-of-file mark.
TEST_F(TrafficLogTest, RestartAppendsAndCutsAtTheFirstEndMarkWithinTheLast128Bytes)
{
    struct Case {
        std::string before;
        std::string after;
    };
    const std::string pad72(72, 'a'), pad71(71, 'a'), tail(127, 'b');
    const Case cases[] = {
        {"old\r\n\x1A junk \x1A", "old\r\n"},
        {pad72 + "\x1A" + tail, pad72}, // the mark is the 128th byte from the end
        {pad71 + "\x1A" + tail + "b", pad71 + "\x1A" + tail + "b"}, // the 129th: kept
    };
    for (const Case& c : cases) {
        WriteFile(File("06-12-2026"), c.before);
        TrafficLog log = MakeLog(dir);
        log.Open();
        log.WriteReceived("1.2.3.4", "x");
        log.Close();
        log.Close(); // closing twice does nothing
        EXPECT_EQ(ReadFile(File("06-12-2026")), c.after + "1.2.3.4: 09:05:07 x\r\n");
    }
}

TEST_F(TrafficLogTest, RotatesAtTheFirstLineAfterMidnightOntoAnExistingFile)
{
    TrafficLog log = MakeLog(dir);
    clock.now = {2026, 12, 6, 23, 59, 59, 0};
    log.Open();
    log.WriteReceived("1.2.3.4", "late");
    WriteFile(File("07-12-2026"), "earlier\r\n");

    clock.now = {2026, 12, 7, 0, 0, 1, 1};
    log.CheckRotation();
    EXPECT_EQ(log.LogDate(), "07-12-2026");
    EXPECT_EQ(ReadFile(File("07-12-2026")), "earlier\r\n");
    clock.now = {2026, 12, 8, 0, 0, 2, 2};
    EXPECT_EQ(log.LogDate(), "07-12-2026"); // no traffic, no rotation
    EXPECT_FALSE(fs::exists(File("08-12-2026")));

    log.WriteSent("5.6.7.8", "pong");
    EXPECT_EQ(log.LogDate(), "08-12-2026");
    EXPECT_EQ(ReadFile(File("06-12-2026")), "1.2.3.4: 23:59:59 late\r\n");
    EXPECT_EQ(ReadFile(File("07-12-2026")), "earlier\r\n");
    EXPECT_EQ(ReadFile(File("08-12-2026")), "> 00:00:02 para: 5.6.7.8 pong\r\n");
}

TEST_F(TrafficLogTest, SecondWriterIsRefusedUntilTheFirstCloses)
{
    TrafficLog first = MakeLog(dir);
    first.Open();
    first.WriteReceived("1.1.1.1", "one");

    TrafficLog second = MakeLog(dir);
    const EInOutError error = CatchInOutError([&] { second.Open(); });
    EXPECT_EQ(error.Message(), "I/O error 32 (" + File("06-12-2026").string() + ": another program holds it for writing)");
    EXPECT_EQ(error.ErrorCode(), 32);
    EXPECT_FALSE(second.IsOpen());
    second.WriteReceived("2.2.2.2", "dropped"); // retried, still held: dropped quietly
    EXPECT_TRUE(reports.empty());

    first.Close();
    second.WriteReceived("2.2.2.2", "two");
    EXPECT_TRUE(second.IsOpen());
    EXPECT_EQ(ReadFile(File("06-12-2026")), "1.1.1.1: 09:05:07 one\r\n2.2.2.2: 09:05:07 two\r\n");
}

TEST_F(TrafficLogTest, UnusableFolderRaisesAtStartAndDropsLinesQuietly)
{
    WriteFile(dir / "plain", "");
    TrafficLog log = MakeLog(dir / "plain");
    const EInOutError error = CatchInOutError([&] { log.Open(); });
    EXPECT_EQ(error.Message(), "Invalid filename (" + (dir / "plain/06-12-2026.txt").string() + ": Not a directory)");
    EXPECT_EQ(error.ErrorCode(), 3);
    EXPECT_NO_THROW(log.WriteReceived("1.2.3.4", "dropped"));
    EXPECT_NO_THROW(log.Close());
    EXPECT_TRUE(reports.empty()); // the caller of Open showed it
}

TEST_F(TrafficLogTest, FailedRotationIsReportedOnceAndRetriedAtEachLine)
{
    TrafficLog log = MakeLog(dir);
    log.Open();
    fs::create_directory(File("07-12-2026")); // the next day's name is taken by a folder
    mkfifo(File("08-12-2026").c_str(), 0600);   // and the day after's by a fifo

    clock.now.day = 7;
    log.WriteReceived("1.2.3.4", "lost");
    log.WriteReceived("1.2.3.4", "lost too");
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(reports, std::vector<std::string>{"File access denied (" + File("07-12-2026").string() + ": Is a directory)"});

    fs::remove(File("07-12-2026"));
    log.WriteReceived("1.2.3.4", "kept");
    EXPECT_EQ(ReadFile(File("07-12-2026")), "1.2.3.4: 09:05:07 kept\r\n");

    clock.now.day = 8; // a new failure after a success is reported again
    log.WriteReceived("1.2.3.4", "lost");
    EXPECT_EQ(reports.size(), 2u);
    EXPECT_EQ(log.LogDate(), "08-12-2026");
}

TEST_F(TrafficLogTest, FailedWriteIsReportedOnceAndTakesBackThePartialLine)
{
    TrafficLog log = MakeLog(dir);
    log.Open();
    log.WriteReceived("1.2.3.4", "before");
    const std::string before = ReadFile(File("06-12-2026"));

    {
        // Let the file grow by 10 bytes only: the next line is written in part, then refused.
        // The server must go on, so nothing is raised; the operator hears of it once.
        FileSizeCap limit(before.size() + 10);
        EXPECT_NO_THROW(log.WriteSent("10.0.0.1", "a message longer than ten bytes"));
        EXPECT_NO_THROW(log.WriteSent("10.0.0.1", "another one, as long"));
    }
    EXPECT_EQ(reports, std::vector<std::string>{"Disk full (" + File("06-12-2026").string() + ": File too large)"});
    EXPECT_EQ(ReadFile(File("06-12-2026")), before);
    log.WriteSent("10.0.0.1", "after");
    EXPECT_EQ(ReadFile(File("06-12-2026")), before + "> 09:05:07 para: 10.0.0.1 after\r\n");

    // A line now and then is no recovery; a thousand in a row are, and a failure after them
    // is news again.
    const std::size_t size = ReadFile(File("06-12-2026")).size();
    {
        FileSizeCap limit(size);
        log.WriteSent("10.0.0.1", "lost");
    }
    EXPECT_EQ(reports.size(), 1u);
    for (int i = 0; i < 1000; ++i)
        log.WriteSent("10.0.0.1", "x");
    {
        FileSizeCap limit(size + 1000 * 29);
        log.WriteSent("10.0.0.1", "lost");
    }
    EXPECT_EQ(reports.size(), 2u);
}
