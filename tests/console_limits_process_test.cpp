// The console's limits as the running lobby sets them, as its operator meets them: lobbyctl
// told why when every place is taken, a request over the console's length refused, a silent
// client closed after its time, and metrics counting them.
#include <chrono>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/posix/file_descriptor.h"
#include "support/child_program.h"
#include "support/loopback.h"
#include "support/server_program.h"
#include "support/temp_folder.h"

namespace {

using namespace test_support;
using testing::HasSubstr;

// A blocking client of the console's socket (the lobby runs in a process of its own).
FileDescriptor ConnectTo(const fs::path& socketPath)
{
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.string().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// Everything the lobby sends until it closes the connection.
std::string ReadToEnd(const FileDescriptor& fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::recv(fd.Get(), buffer, sizeof buffer, 0)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

TEST(ConsoleLimitsProcess, OverTheLimitsTheOperatorIsToldWhyAndMetricsCountIt)
{
    TempFolder folder;
    LoopbackPeer players;
    ChildProgram server({ServerProgramPath(), "m5qt4", "--dir", folder.Path().string(), "--listen-port",
                         std::to_string(FreeLoopbackPort()), "--reply-port", std::to_string(players.Port())},
                        HeadlessServerSetup("/", (folder / "stderr").string()));
    const fs::path socketPath = folder / "lobby.sock";
    for (int i = 0; i < 1000 && !fs::exists(socketPath); ++i)
        std::this_thread::sleep_for(10ms); // the server starts in its own time
    const auto ctl = [&](const std::string& command) {
        return RunProgram({LOBBYCTL_PATH, "--dir", folder.Path().string(), command}, 20s);
    };

    // Eight silent clients take every place; the system's queue hands them over before the
    // operator's, so lobbyctl is the ninth.
    std::vector<FileDescriptor> holders;
    const auto connected = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i)
        holders.push_back(ConnectTo(socketPath));
    const ProgramResult busy = ctl("status");
    EXPECT_NE(busy.status, std::optional<int>(0));
    EXPECT_THAT(busy.out + busy.err, HasSubstr("the console is busy with 8 clients; try again"));

    const std::string oversize(8193, 'x');
    ASSERT_EQ(::send(holders.front().Get(), oversize.data(), oversize.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(oversize.size()));
    EXPECT_THAT(ReadToEnd(holders.front()), HasSubstr("the request is longer than the 8192 bytes the console reads"));
    const FileDescriptor silent = std::move(holders.back());
    holders.clear();

    // The lobby may take the next connection before it sees the holders go: told busy too.
    ProgramResult metrics;
    int alsoBusy = 0;
    for (; alsoBusy < 100 && (metrics = ctl("metrics")).status != std::optional<int>(0); ++alsoBusy)
        ASSERT_THAT(metrics.out + metrics.err, HasSubstr("busy"));
    EXPECT_THAT(metrics.out, HasSubstr("lobby_console_connections_total{result=\"busy\"} " + std::to_string(1 + alsoBusy) + "\n"));
    EXPECT_THAT(metrics.out, HasSubstr("lobby_console_connections_total{result=\"too_long\"} 1\n"));
    EXPECT_THAT(metrics.out, HasSubstr("lobby_console_connections_total{result=\"timed_out\"} 0\n"));

    // The one that stays silent is closed once its 5 s are out, and not before.
    const timeval bound{.tv_sec = 60, .tv_usec = 0};
    ::setsockopt(silent.Get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    EXPECT_EQ(ReadToEnd(silent), "");
    EXPECT_GE(std::chrono::steady_clock::now() - connected, 5s);
    EXPECT_THAT(ctl("metrics").out, HasSubstr("lobby_console_connections_total{result=\"timed_out\"} 1\n"));
}

} // namespace
