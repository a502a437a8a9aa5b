// The window's error box must not stop the lobby: the built server in window mode, on a
// virtual X display (Xvfb), gets a request that fails (a score that is no number), which
// opens an error box nobody clicks; the next requests must be answered all the same, or any
// client could freeze a windowed lobby with one datagram. And a start refused before the
// loop runs is told in a box too. Skipped where Xvfb or xwininfo is not installed
// (scripts/setup installs them).
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/client_texts.h"
#include "support/loopback.h"
#include "support/server_process.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace test_support;

// The next reply within timeoutMs, or nothing.
std::optional<std::string> Reply(const LoopbackPeer& client, int timeoutMs)
{
    const auto reply = client.Receive(timeoutMs);
    return reply ? std::optional<std::string>(reply->bytes) : std::nullopt;
}

// The built server in window mode on a virtual display of its own.
class WindowErrorBox : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"Xvfb", "xwininfo"}) {
            if (!ProgramInPath(tool))
                GTEST_SKIP() << tool << " is not installed (scripts/setup installs it)";
        }
        // -displayfd: the X server writes its display number once it takes clients.
        xvfb.emplace(std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        ASSERT_TRUE(xvfb->WaitForOutput([](const std::string& out) { return out.find('\n') != std::string::npos; }, 20s))
            << xvfb->Err();
        display = ":" + xvfb->Out().substr(0, xvfb->Out().find('\n'));
    }

    void TearDown() override
    {
        server.reset();
        if (xvfb) {
            xvfb->Signal(SIGTERM);
            xvfb->WaitForExit(5s);
        }
    }

    // Starts the server with these arguments, its files in the test's folder.
    void StartServer(std::vector<std::string> arguments)
    {
        const fs::path runtime = folder / "runtime";
        fs::create_directories(runtime);
        ::chmod(runtime.c_str(), 0700);
        // For a sanitizer build: the D-Bus library Qt's X11 platform loads keeps a buffer to exit.
        std::ofstream(folder / "leaks.supp") << "leak:libdbus-1.so\n";
        arguments.insert(arguments.begin(), {ServerProgramPath(), "m5qt4", "--dir", folder.Path().string()});
        server.emplace(arguments, std::vector<EnvironmentChange>{
                                      {"DISPLAY", display},
                                      {"QT_QPA_PLATFORM", "xcb"},
                                      {"WAYLAND_DISPLAY", std::nullopt},
                                      {"LC_ALL", "C"},
                                      {"XDG_RUNTIME_DIR", runtime.string()},
                                      {"LSAN_OPTIONS", "suppressions=" + (folder / "leaks.supp").string()}});
    }

    // Whether an error box (a window captioned with the program's name) comes up, within a
    // bounded number of looks.
    bool BoxShown() const
    {
        for (int i = 0; i < 100; ++i) {
            const ProgramResult windows = RunProgram({"xwininfo", "-display", display, "-root", "-children"}, 10s);
            if (windows.out.find("\"lobby-server\": (\"lobby-server\"") != std::string::npos)
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    TempFolder folder;
    std::optional<ChildProgram> xvfb;
    std::string display;
    std::optional<ChildProgram> server;
};

TEST_F(WindowErrorBox, DoesNotHoldUpTheLobby)
{
    LoopbackPeer client;
    const std::uint16_t port = FreeLoopbackPort();
    StartServer({"--listen-port", std::to_string(port), "--reply-port", std::to_string(client.Port())});

    // Up once it answers (bounded).
    std::optional<std::string> welcome;
    for (int i = 0; i < 100 && !welcome; ++i) {
        client.SendTo(port, "ana|pw|zzz|");
        welcome = Reply(client, 200);
    }
    ASSERT_EQ(welcome, std::optional<std::string>(kWelcome)) << server->Err();

    client.SendTo(port, "ana|pw|scj|not a number");
    // The box is up and stays up: nobody clicks OK.
    EXPECT_TRUE(BoxShown()) << "no error box was shown";

    client.SendTo(port, "bob|pw|zzz|");
    EXPECT_EQ(Reply(client, 5000), std::optional<std::string>(kWelcome)) << "the lobby stopped while the box was open";
    client.SendTo(port, "ana|pw|scj|5");
    EXPECT_EQ(Reply(client, 5000), std::optional<std::string>(Ranking({"ana - 5", "bob - 0"})));

    server->Signal(SIGTERM);
    EXPECT_EQ(server->WaitForExit(20s), std::optional<int>(0)) << server->Err();
}

TEST_F(WindowErrorBox, ShowsWhyAStartWasRefusedAndSaysItOnStandardErrorToo)
{
    // A registry that cannot be read stops the start before the loop runs: a desktop
    // operator, who sees no standard error, must get the box all the same.
    fs::create_directory(folder / "cadastro.txt");
    StartServer({"--listen-port", "0"});
    EXPECT_TRUE(BoxShown()) << "no error box was shown: " << server->Err();
    server->Signal(SIGTERM);
    EXPECT_EQ(server->WaitForExit(20s), std::optional<int>(1));
    EXPECT_NE(server->Err().find("cannot read the registry " + (folder / "cadastro.txt").string()), std::string::npos)
        << server->Err();
}

} // namespace
