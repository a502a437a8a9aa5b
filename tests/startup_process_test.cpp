// The built program, started from a folder of its own: what it leaves on disk and how it ends.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <utility>
#include <optional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/regional_settings.h"
#include "server/traffic_log/date_text.h"
#include "support/child_program.h"
#include "support/loopback.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

using namespace lobby;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::ChildProgram;
using test_support::HeadlessServerSetup;
using test_support::ServerProgramPath;

class StartupProcess : public testing::Test {
protected:
    StartupProcess()
    {
        program = folder / "lobby-server";
        fs::copy_file(ServerProgramPath(), program);
    }

    // The day's log name under LC_ALL=C, which the children run with.
    fs::path TodaysLog() const { return folder / (DateText(RegionalSettings{}, SystemClock().Now()) + ".txt"); }

    TempFolder folder;
    fs::path program;
};

TEST_F(StartupProcess, WithoutTheAccessWordTheServerTidiesUpAndEndsWithStatus2)
{
    WriteBytes(folder / "cadastro.txt", ",Nick,Senha,Ip,Pontos,\n,ana,Pw,10.0.0.1,7,+,\n");
    // A copy of the program runs in its own folder and keeps its files there, wherever it is
    // started from. --listen-port 0 keeps it off the real port while it is briefly up.
    ChildProgram server({program.string(), "not-the-word", "--listen-port", "0"},
                        HeadlessServerSetup("/", (folder / "stderr").string()));
    const auto status = server.WaitForExit(20s);
    ASSERT_TRUE(status) << "the server did not end";
    EXPECT_EQ(*status, 2);
    EXPECT_TRUE(fs::exists(TodaysLog()));
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), ",Nick,Senha,Ip,Pontos,,\r\n,ana,Pw,10.0.0.1,7,+,\r\n");
    const std::string message = ReadBytes(folder / "stderr");
    EXPECT_NE(message.find("access word"), std::string::npos) << message;
    EXPECT_EQ(message.find("m5qt4"), std::string::npos) << "the access word must never be printed";
}

TEST_F(StartupProcess, SigtermSavesTheRegistryAndEndsCleanly)
{
    ChildProgram server({program.string(), "m5qt4", "--headless", "--listen-port", "0"},
                        HeadlessServerSetup(folder.Path().string(), (folder / "stderr").string()));
    // Up means the registry file was created; bounded, polled.
    for (int i = 0; i < 500 && !fs::exists(folder / "cadastro.txt"); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(folder / "cadastro.txt")) << ReadBytes(folder / "stderr");
    EXPECT_FALSE(server.WaitForExit(200ms)) << "the server ended by itself: " << ReadBytes(folder / "stderr");
    server.Signal(SIGTERM);
    const auto status = server.WaitForExit(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0) << ReadBytes(folder / "stderr");
    EXPECT_EQ(ReadBytes(folder / "cadastro.txt"), ",Nick,Senha,Ip,Pontos,,\r\n");
}

TEST_F(StartupProcess, AnUnreadableRegistryStopsTheServerBeforeItServes)
{
    fs::create_directory(folder / "cadastro.txt");
    ChildProgram server({program.string(), "m5qt4", "--headless", "--listen-port", "0"},
                        HeadlessServerSetup("/", (folder / "stderr").string()));
    const auto status = server.WaitForExit(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    const std::string message = ReadBytes(folder / "stderr");
    EXPECT_NE(message.find((folder / "cadastro.txt").string()), std::string::npos) << message;
    EXPECT_TRUE(fs::is_directory(folder / "cadastro.txt"));
}

// A file that cannot be read refuses the start with status 1, its one line saying so whatever
// the folder's name holds: the registry left as it is, the bans before anyone is let in.
TEST_F(StartupProcess, ARefusedStartSaysWhyInOneLineWhateverTheFolderIsCalled)
{
    struct Case {
        const char* unreadable;
        const char* folderName;
        const char* ending;
    };
    const Case cases[] = {
        {"cadastro.txt", "plain", "; the server does not start, and leaves the file as it is.\n"},
        {"cadastro.txt", "a; the server does not start", "; the server does not start, and leaves the file as it is.\n"},
        {"bans.txt", "plain", "; the server does not start.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.unreadable) + " in " + c.folderName);
        const fs::path data = folder / c.folderName;
        fs::create_directories(data / c.unreadable);
        const fs::path errors = folder / "stderr";
        ChildProgram server({program.string(), "m5qt4", "--listen-port", "0", "--dir", data.string()},
                            HeadlessServerSetup("/", errors.string()));
        const auto status = server.WaitForExit(20s);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, 1);
        const std::string message = ReadBytes(errors);
        EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 1) << message;
        EXPECT_TRUE(message.ends_with(c.ending)) << message;
        EXPECT_NE(message.find((data / c.unreadable).string()), std::string::npos) << message;
        fs::remove_all(data);
    }
}

TEST_F(StartupProcess, ADataFolderOptionMovesTheFiles)
{
    TempFolder data;
    ChildProgram server({program.string(), "wrong", "--dir", data.Path().string(), "--listen-port", "0"},
                        HeadlessServerSetup("/", (folder / "stderr").string()));
    ASSERT_TRUE(server.WaitForExit(20s));
    EXPECT_TRUE(fs::exists(data / "cadastro.txt"));
    EXPECT_FALSE(fs::exists(folder / "cadastro.txt"));
}

TEST_F(StartupProcess, APortTakenByAnotherProgramIsReportedAndTheServerEnds)
{
    // Another program holds a UDP port on every address, as the server would.
    const int other = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(other, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(other, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    ChildProgram server({program.string(), "m5qt4", "--headless", "--listen-port", port},
                        HeadlessServerSetup("/", (folder / "stderr").string()));
    const auto status = server.WaitForExit(20s);
    ::close(other);
    ASSERT_TRUE(status) << "the server ran deaf instead of ending";
    EXPECT_EQ(*status, 1);
    const std::string message = ReadBytes(folder / "stderr");
    EXPECT_NE(message.find(port), std::string::npos) << message;
}

TEST_F(StartupProcess, HelpOrVersionAloneTouchesNoFile)
{
    // help2man builds the manual page from these two: "Usage:" and "NAME VERSION".
    const std::pair<const char*, std::string> cases[] = {
        {"--help", "Usage: lobby-server ACCESS-WORD [options]\n"},
        {"--version", "lobby-server " LOBBY_VERSION "\n"},
    };
    for (const auto& [option, firstLine] : cases) {
        SCOPED_TRACE(option);
        const test_support::ProgramResult result = test_support::RunProgram({program.string(), option}, 20s);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out.substr(0, firstLine.size()), firstLine);
        EXPECT_FALSE(fs::exists(folder / "cadastro.txt"));
        EXPECT_FALSE(fs::exists(TodaysLog()));
    }
}

TEST_F(StartupProcess, AnUnknownOptionIsRefusedBeforeAnyFileIsTouched)
{
    ChildProgram server({program.string(), "m5qt4", "--frobnicate"},
                        HeadlessServerSetup("/", (folder / "stderr").string()));
    const auto status = server.WaitForExit(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 2);
    EXPECT_NE(ReadBytes(folder / "stderr").find("--frobnicate"), std::string::npos);
    EXPECT_FALSE(fs::exists(folder / "cadastro.txt"));
}

TEST_F(StartupProcess, SaysWhereItServesAndAFailedShutdownSaveIsToldEvenAfterTenErrors)
{
    // Ten failed requests use up the minute's errors shown one by one; then the save at
    // shutdown fails, as its temporary file cannot be made (a folder holds its name).
    WriteBytes(folder / "cadastro.txt", ",Nick,Senha,Ip,Pontos,\r\n,ana,pw,10.0.0.1,7,+,\r\n");
    fs::create_directory(folder / "cadastro.txt.tmp");
    test_support::LoopbackPeer client;
    const std::uint16_t port = test_support::FreeLoopbackPort();
    ChildProgram server({program.string(), "m5qt4", "--headless", "--listen-port", std::to_string(port),
                         "--reply-port", std::to_string(client.Port())},
                        {.environment = {{"LC_ALL", "C"}}});
    std::optional<test_support::PeerDatagram> refused; // a wrong password: answered, nobody registered
    for (int i = 0; i < 100 && !refused; ++i) {
        client.SendTo(port, "ana|wrong|zzz|");
        refused = client.Receive(200);
    }
    ASSERT_TRUE(refused) << server.Err();
    for (int i = 0; i < 10; ++i)
        client.SendTo(port, "ana|pw|scj|abc");
    client.SendTo(port, "ana|wrong|zzz|");
    ASSERT_TRUE(client.Receive()) << "the ten were not handled";
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(20s), 1);
    EXPECT_EQ(server.Out(), "listening on UDP port " + std::to_string(port) + "; data folder " + folder.Slash() +
                                "; 1 player registered; traffic log " + TodaysLog().string() + "\n");
    // Told as an error of its own, at once, not as one of the minute's held back.
    EXPECT_NE(server.Err().find("lobby-server: Cannot create file " + (folder / "cadastro.txt").string() + " (" +
                                (folder / "cadastro.txt.tmp").string() + ": a folder is in its place)\n"),
              std::string::npos)
        << server.Err();
}

// lobby-server-window with no display to open its window on, none named or one named that is
// not there: one line says why, and it serves headless instead of ending (Qt alone would abort).
TEST(WindowProgramWithoutDisplay, SaysWhyAndServesHeadless)
{
    for (const std::optional<std::string>& display : {std::optional<std::string>(), std::optional<std::string>(":254")}) {
        SCOPED_TRACE(display.value_or("no DISPLAY"));
        TempFolder folder;
        ChildProgram server({test_support::WindowProgramPath(), "m5qt4", "--dir", folder.Path().string(), "--listen-port", "0"},
                            {.environment = {{"DISPLAY", display}, {"WAYLAND_DISPLAY", std::nullopt},
                                             {"QT_QPA_PLATFORM", std::nullopt}, {"LC_ALL", "C"}}});
        for (int i = 0; i < 500 && !fs::exists(folder / "cadastro.txt"); ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_FALSE(server.WaitForExit(200ms)) << "the server ended: " << server.Err();
        server.Signal(SIGTERM);
        EXPECT_EQ(server.WaitForExit(20s), std::optional<int>(0));
        EXPECT_EQ(server.Out().rfind("listening on UDP port ", 0), 0u) << server.Out();
        const std::string err = server.Err();
        // The line, and at the stop where the registry went.
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
        EXPECT_EQ(err.rfind("lobby-server-window: no display", 0), 0u) << err;
        EXPECT_NE(err.find("; serving headless\nlobby-server-window: closed; the registry is saved to "), std::string::npos) << err;
    }
}

} // namespace
