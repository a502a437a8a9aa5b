// What the lobby tells a service manager and the journal, without either running: the notify
// datagrams on a socket the test binds, the priorities of lines, which status lines are worth
// writing, and the command line that checks a configuration.
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/service_status.h"
#include "app/status_line_filter.h"
#include "platform/posix/file_descriptor.h"
#include "platform/standard_error.h"
#include "server/console/console.h"
#include "server/console/console_protocol.h"
#include "support/child_program.h"
#include "support/form_under_test.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

namespace {

using namespace lobby;
using namespace std::chrono_literals;
using testing::HasSubstr;

// Sets an environment variable for one test, putting back what was there.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name)
    {
        if (const char* was = std::getenv(name))
            was_ = was;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { was_ ? ::setenv(name_, was_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> was_;
};

// A loop whose only use here is the watchdog's timer, fired as a stepped clock passes its
// interval.
class TimerLoop : public EventLoop {
public:
    // Moves the clock on by ms, firing each timer once for every interval it passes.
    void Step(int ms)
    {
        nowMs += ms;
        for (auto& [interval, tick] : timers)
            for (; firedUpTo_ + interval <= nowMs; firedUpTo_ += interval)
                tick();
    }
    std::int64_t nowMs = 0;
    std::unique_ptr<Registration> WatchReadable(Watchable, std::function<void()>) override { return {}; }
    std::unique_ptr<Registration> WatchReadableReentrant(Watchable, std::function<void()>) override { return {}; }
    std::unique_ptr<Registration> WatchWritable(Watchable, std::function<void()>) override { return {}; }
    std::unique_ptr<Registration> StartTimer(int intervalMs, std::function<void()> onTick) override
    {
        timers.push_back({intervalMs, std::move(onTick)});
        return std::make_unique<Registration>();
    }
    void Post(std::function<void()>) override {}
    void ProcessEvents(int) override {}
    void Quit() override {}
    std::vector<std::pair<int, std::function<void()>>> timers;

private:
    std::int64_t firedUpTo_ = 0;
};

// The manager's end: a datagram socket bound at a path or an abstract name.
struct ManagerSocket {
    explicit ManagerSocket(const std::string& name)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        name.copy(address.sun_path, sizeof address.sun_path - 1);
        if (name[0] == '@')
            address.sun_path[0] = '\0';
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] == '@' ? 0 : 1));
        EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length), 0) << name;
    }
    // The datagrams that arrived, in order.
    std::vector<std::string> Received()
    {
        std::vector<std::string> got;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT)) >= 0;)
            got.emplace_back(buffer, static_cast<std::size_t>(n));
        return got;
    }
    FileDescriptor fd{::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
};

TEST(ServiceNotify, TheManagerHearsReadinessStateReloadWatchdogAndStop)
{
    TempFolder folder;
    const std::string abstract = "@lobby-test-" + std::to_string(::getpid());
    for (const std::string& name : {(folder / "notify").string(), abstract}) {
        SCOPED_TRACE(name);
        ManagerSocket manager(name);
        const ScopedVariable socket("NOTIFY_SOCKET", name);
        const ScopedVariable watchdog("WATCHDOG_USEC", "30000000");
        const ScopedVariable pid("WATCHDOG_PID", std::to_string(::getpid()));
        const auto notifier = ServiceNotifier::FromEnvironment();
        TimerLoop loop;
        ServiceStatus status(notifier.get(), loop, [](const std::string& why) { ADD_FAILURE() << why; });
        // Pinged at half the manager's interval, from the loop.
        ASSERT_EQ(loop.timers.size(), 1u);
        EXPECT_EQ(loop.timers[0].first, 15000);
        status.Ready("1 online, 2 registered, last save none yet");
        loop.Step(14999); // not yet half the interval
        EXPECT_EQ(manager.Received(), std::vector<std::string>{"READY=1\nSTATUS=1 online, 2 registered, last save none yet"});
        loop.Step(1);
        loop.Step(15000);
        status.Status("1 online, 2 registered, last save none yet"); // unchanged: not sent again
        status.Status("0 online,\n2 registered");
        status.Reloading();
        status.Stopping();
        const std::vector<std::string> got = manager.Received();
        ASSERT_EQ(got.size(), 5u);
        EXPECT_EQ(got[0], "WATCHDOG=1");
        EXPECT_EQ(got[1], "WATCHDOG=1");
        EXPECT_EQ(got[2], "STATUS=0 online, 2 registered");
        EXPECT_THAT(got[3], testing::MatchesRegex("RELOADING=1\nMONOTONIC_USEC=[1-9][0-9]*"));
        EXPECT_EQ(got[4], "STOPPING=1");
    }
}

TEST(ServiceNotify, NoWatchdogForAnotherProcessNorWithoutAManager)
{
    TempFolder folder;
    ManagerSocket manager((folder / "notify").string());
    const struct {
        std::optional<std::string> socket;
        std::optional<std::string> pid;
        bool listening;
    } cases[] = {
        {(folder / "notify").string(), "1", true}, // the watchdog is another process's
        {std::nullopt, std::nullopt, false},        // started by hand
    };
    for (const auto& c : cases) {
        const ScopedVariable socket("NOTIFY_SOCKET", c.socket);
        const ScopedVariable watchdog("WATCHDOG_USEC", "2000000");
        const ScopedVariable pid("WATCHDOG_PID", c.pid);
        const auto notifier = ServiceNotifier::FromEnvironment();
        EXPECT_EQ(notifier->Listening(), c.listening);
        TimerLoop loop;
        ServiceStatus status(notifier.get(), loop, {});
        EXPECT_TRUE(loop.timers.empty());
        EXPECT_EQ(status.WatchdogIntervalMs(), 0);
    }
    // A socket nobody binds any more is told once, not at every ping.
    const ScopedVariable socket("NOTIFY_SOCKET", (folder / "gone").string());
    const auto notifier = ServiceNotifier::FromEnvironment();
    std::vector<std::string> warnings;
    TimerLoop loop;
    ServiceStatus status(notifier.get(), loop, [&](const std::string& why) { warnings.push_back(why); });
    status.Ready("a");
    status.Status("b");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("did not take \"READY=1\""));
}

TEST(JournalPriorities, LinesCarryTheirPriorityOnlyIntoTheJournal)
{
    const struct {
        bool journal;
        LinePriority priority;
        const char* line;
    } cases[] = {
        {true, LinePriority::kFailure, "<3>lobby-server: the save failed\n"},
        {true, LinePriority::kWarning, "<4>lobby-server: the save failed\n"},
        {true, LinePriority::kInformation, "<6>lobby-server: the save failed\n"},
        {false, LinePriority::kFailure, "lobby-server: the save failed\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PrioritizedLine(c.journal, c.priority, "lobby-server", "the save failed"), c.line);

    struct stat status {};
    ASSERT_EQ(::fstat(2, &status), 0);
    const std::string mine = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    const std::pair<std::optional<std::string>, bool> streams[] = {
        {mine, true},                                            // the journal started us
        {std::to_string(status.st_dev) + ":1", false},           // redirected since
        {std::nullopt, false},                                   // no journal
    };
    for (const auto& [stream, journal] : streams) {
        const ScopedVariable variable("JOURNAL_STREAM", stream);
        EXPECT_EQ(StandardErrorIsJournal(), journal) << stream.value_or("(unset)");
    }
}

TEST(StatusLines, OnlyAChangeOrAnHourOnIsWritten)
{
    StatusLineFilter filter;
    const std::int64_t hour = StatusLineFilter::kRepeatMs;
    const struct {
        std::string line;
        std::int64_t ms;
        bool written;
    } steps[] = {
        {"online 0", 0, true},       {"online 0", 60000, false}, {"online 1", 120000, true},
        {"online 1", hour, false},   {"online 1", 120000 + hour, true}, {"online 0", 120001 + hour, true},
    };
    for (const auto& step : steps)
        EXPECT_EQ(filter.Take(step.line, step.ms), step.written) << step.line << " at " << step.ms;
}

// Each change made from the console is one line of the record, never with a password.
TEST(ConsoleRecord, ChangesAreToldWithoutThePassword)
{
    test_support::FormUnderTest lobby;
    std::vector<std::string> told;
    Console console(lobby.form->Console(), lobby.monotonic, nullptr, ConsoleSetup{"lobby-server", "9.9", {}, {}});
    console.TellChangesTo([&](const std::string& line) { told.push_back(line); });
    lobby.Join("10.0.0.1", "ana");
    const auto ask = [&](const std::vector<std::string>& words) {
        std::string line = console_protocol::RequestLine(words);
        line.pop_back();
        console.Handle(line, [](std::string) {});
    };
    ask({"status"});
    ask({"password", "ana", "s3cret"});
    ask({"notice", "back in\nfive"});
    ask({"kick", "zed"});
    ask({"ban", "address", "10.0.0.9"});
    ASSERT_EQ(told.size(), 4u) << testing::PrintToString(told);
    EXPECT_EQ(told[0], "console: password ana: the password of ana is changed, and on disk");
    EXPECT_EQ(told[1], "console: notice \"back in?five\": sent to 1 player online");
    EXPECT_EQ(told[2], "console: kick zed: refused: no player is named \"zed\"");
    EXPECT_EQ(told[3], "console: ban address 10.0.0.9: address 10.0.0.9 is banned");
    for (const std::string& line : told)
        EXPECT_EQ(line.find("s3cret"), std::string::npos);

    const std::string metrics = console.MetricsText();
    EXPECT_THAT(metrics, HasSubstr("\nlobby_up 1\n"));
    EXPECT_THAT(metrics, HasSubstr("\nlobby_build_info{version=\"9.9\"} 1\n"));
    EXPECT_THAT(metrics, testing::ContainsRegex("\nlobby_last_save_success_timestamp_seconds [1-9][0-9]+\n"));
}

// What the service manager runs before a start and a reload: the settings checked, no file
// touched, status 2 naming the file, the line and the key.
TEST(CheckConfig, SaysWhetherTheSettingsAreGoodTouchingNoFile)
{
    TempFolder folder;
    const std::string config = (folder / "lobby.conf").string();
    const std::string data = (folder / "data").string();
    const struct {
        std::string file;
        std::vector<std::string> words;
        int status;
        std::string said;
    } cases[] = {
        {"rate-limit = 20\nmetrics-listen = 127.0.0.1:9817\n", {"--check-config", "--config", config}, 0,
         config + ": the settings are good"},
        {"", {"--check-config"}, 0, "the command line (no --config FILE): the settings are good"},
        {"keep-logs = 3\nrate-limt = 20\n", {"--check-config", "--config", config}, 2, config + ":2: unknown key \"rate-limt\""},
        {"capacity = lots\n", {"--check-config", "--config", config}, 2, config + ":1: capacity needs a whole number"},
        {"metrics-listen = 9817\n", {"--check-config", "--config", config}, 2, config + ":1: metrics-listen needs ADDRESS:PORT"},
        {"", {"m5qt4", "--check-config", "--config", (folder / "none").string()}, 2, "no such file"},
        {"", {"--check-config", "--rate-limit", "x"}, 2, "--rate-limit needs a whole number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        WriteBytes(config, c.file);
        std::vector<std::string> arguments{test_support::ServerProgramPath()};
        arguments.insert(arguments.end(), c.words.begin(), c.words.end());
        arguments.insert(arguments.end(), {"--dir", data});
        const auto result = test_support::RunProgram(arguments, 20s);
        EXPECT_EQ(result.status, c.status);
        EXPECT_THAT(result.out + result.err, HasSubstr(c.said));
        EXPECT_FALSE(std::filesystem::exists(data));
    }
}

} // namespace
