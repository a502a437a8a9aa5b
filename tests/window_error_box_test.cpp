// The window's error box must not stop the lobby: the built server in window mode, on a
// virtual X display (Xvfb), gets a request that fails (a score that is no number), which
// opens an error box nobody clicks; the next requests must be answered all the same, or any
// client could freeze a windowed lobby with one datagram. And a start refused before the loop
// runs must still show its box. Skipped where Xvfb or xwininfo is not installed
// (scripts/setup installs them).
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/client_texts.h"
#include "support/loopback.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

using namespace lobby;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace test_support;

// How long the test waits for what it checks: generous, as the machine may be busy; a test
// that passes is never held this long.
constexpr auto kPatience = 60s;

// The next reply within timeoutMs, or nothing.
std::optional<std::string> Reply(const LoopbackPeer& client, int timeoutMs)
{
    const auto reply = client.Receive(timeoutMs);
    return reply ? std::optional<std::string>(reply->bytes) : std::nullopt;
}

// The first reply that is wanted, skipping others (a welcome repeated while the server came
// up), within kPatience; nothing when none came.
std::optional<std::string> ReplyOf(const LoopbackPeer& client, const std::string& wanted)
{
    for (const auto deadline = std::chrono::steady_clock::now() + kPatience; std::chrono::steady_clock::now() < deadline;) {
        const std::optional<std::string> reply = Reply(client, 1000);
        if (reply == wanted)
            return reply;
    }
    return std::nullopt;
}

TEST(WindowErrorBox, DoesNotHoldUpTheLobbyNorGetLostOnARefusedStart)
{
    for (const char* tool : {"Xvfb", "xwininfo"}) {
        if (!ProgramInPath(tool))
            GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
    }
    TempFolder folder;
    // -displayfd: the X server writes its display number once it takes clients.
    ChildProgram xvfb({"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    ASSERT_TRUE(xvfb.WaitForOutput([](const std::string& out) { return out.find('\n') != std::string::npos; }, 20s))
        << xvfb.Err();
    const std::string display = ":" + xvfb.Out().substr(0, xvfb.Out().find('\n'));

    LoopbackPeer client;
    const std::uint16_t port = FreeLoopbackPort();
    const fs::path runtime = folder / "runtime";
    fs::create_directory(runtime);
    ::chmod(runtime.c_str(), 0700);
    // For a sanitizer build: the D-Bus library Qt's X11 platform loads keeps a buffer to exit.
    std::ofstream(folder / "leaks.supp") << "leak:libdbus-1.so\n";
    const ChildSetup setup = {.environment = {
        {"DISPLAY", display}, {"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", std::nullopt}, {"LC_ALL", "C"},
        {"XDG_RUNTIME_DIR", runtime.string()}, {"LSAN_OPTIONS", "suppressions=" + (folder / "leaks.supp").string()}}};
    ChildProgram server({WindowProgramPath(), "m5qt4", "--dir", folder.Path().string(), "--listen-port",
                         std::to_string(port), "--reply-port", std::to_string(client.Port())},
                        setup);
    // Whether a box (a window captioned with the program's name) is up, waited for as long as
    // a busy machine may take to open one.
    const auto boxShown = [&] {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            const ProgramResult windows = RunProgram({"xwininfo", "-display", display, "-root", "-children"}, 10s);
            if (windows.out.find("\"lobby-server-window\": (\"lobby-server-window\"") != std::string::npos)
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    };

    // Up once it answers (bounded).
    std::optional<std::string> welcome;
    for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
         !welcome && std::chrono::steady_clock::now() < deadline;) {
        client.SendTo(port, "ana|pw|zzz|");
        welcome = Reply(client, 200);
    }
    ASSERT_EQ(welcome, std::optional<std::string>(kWelcome)) << server.Err();

    client.SendTo(port, "ana|pw|scj|not a number");
    // The box is up and stays up: nobody clicks OK.
    EXPECT_TRUE(boxShown()) << "no error box was shown";

    client.SendTo(port, "bob|pw|zzz|");
    EXPECT_EQ(ReplyOf(client, kWelcome), std::optional<std::string>(kWelcome)) << "the lobby stopped while the box was open";
    client.SendTo(port, "ana|pw|scj|5");
    const std::string ranking = Ranking({"ana - 5", "bob - 0"});
    EXPECT_EQ(ReplyOf(client, ranking), std::optional<std::string>(ranking));

    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(kPatience), std::optional<int>(0)) << server.Err();

    // A registry that cannot be read stops the start before the loop runs; the operator at the
    // desktop, who sees no standard error, gets the box as well.
    TempFolder refused;
    fs::create_directory(refused / "cadastro.txt");
    ChildProgram stopped({WindowProgramPath(), "m5qt4", "--dir", refused.Path().string(), "--listen-port", "0"},
                         setup);
    EXPECT_TRUE(boxShown()) << "no error box for a refused start: " << stopped.Err();
    stopped.Signal(SIGTERM);
    EXPECT_EQ(stopped.WaitForExit(kPatience), std::optional<int>(1));
    EXPECT_NE(stopped.Err().find("cannot read the registry " + (refused / "cadastro.txt").string()), std::string::npos);
    // So does a data folder that cannot be made (a file stands where a folder would).
    WriteBytes(refused / "file", "");
    ChildProgram homeless({WindowProgramPath(), "m5qt4", "--dir", (refused / "file/data").string(), "--listen-port", "0"},
                          setup);
    EXPECT_TRUE(boxShown()) << "no error box for a data folder that cannot be made: " << homeless.Err();
    homeless.Signal(SIGTERM); // before the server's signal handling is set up: ends it at once
    EXPECT_TRUE(homeless.WaitForExit(kPatience));
    EXPECT_NE(homeless.Err().find("the data folder " + (refused / "file/data/").string() + " cannot be made"),
              std::string::npos);
    xvfb.Signal(SIGTERM);
    xvfb.WaitForExit(5s);
}

} // namespace
