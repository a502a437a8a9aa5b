// lobby-server.exe headless under test, on 127.0.0.1: the requests a player makes, bad
// input, the registry on disk, and a second server on the taken port.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/win32/winsock_udp.h"
#include "support/child_process.h"
#include "tests/support/client_texts.h"

using namespace lobby::win32;
using namespace test_support;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F; // 127.0.0.1, network byte order

std::uint16_t FreePort()
{
    int error = 0;
    WinUdpSocket probe = WinUdpSocket::Open(error);
    probe.Bind(0, kLoopback);
    return probe.BoundPort();
}

class Player {
public:
    Player()
    {
        int error = 0;
        socket_ = WinUdpSocket::Open(error);
        socket_.Bind(0, kLoopback);
    }
    std::uint16_t Port() const { return socket_.BoundPort(); }

    // Sends request and takes every reply that comes within the wait after the last one.
    std::vector<std::string> Ask(const std::string& request, std::uint16_t serverPort, DWORD waitMs = 1500)
    {
        socket_.SendTo(request.data(), request.size(), kLoopback, serverPort);
        return Take(waitMs);
    }
    std::vector<std::string> Take(DWORD waitMs = 1500)
    {
        std::vector<std::string> replies;
        for (int i = 0; i < 20 && ::WaitForSingleObject(socket_.ReadyEvent(), waitMs) == WAIT_OBJECT_0; ++i) {
            socket_.ClearReady();
            char buffer[4096];
            for (WinUdpSocket::Received got; (got = socket_.ReceiveFrom(buffer, sizeof buffer)).length >= 0;)
                replies.emplace_back(buffer, static_cast<std::size_t>(got.length));
        }
        return replies;
    }

private:
    WinUdpSocket socket_;
};

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(LobbyServerExe, ServesJoinLoginChatScoresBadInputAndRefusesATakenPort)
{
    WinsockSession session;
    Player ana;
    const std::uint16_t port = FreePort();
    // Letters outside the ANSI code page: the command line is read wide.
    const fs::path folder =
        fs::temp_directory_path() / (L"lobby-e2e-\u00e7\u00e3o-\u041b\u043e\u0431\u0431\u0438-" + std::to_wstring(::GetCurrentProcessId()));
    fs::remove_all(folder);
    const auto server = [&](const fs::path& dir) {
        return L"\"" + BesideTest(L"lobby-server.exe") + L"\" m5qt4 --headless --listen-port " + std::to_wstring(port) +
               L" --reply-port " + std::to_wstring(ana.Port()) + L" --dir \"" + dir.wstring() + L"\"";
    };
    ChildProcess lobby(server(folder));
    for (int i = 0; i < 200 && lobby.OutSoFar().find("listening on UDP port") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the process starts in its own time
    ASSERT_NE(lobby.OutSoFar().find("listening on UDP port " + std::to_string(port)), std::string::npos);

    using Replies = std::vector<std::string>;
    EXPECT_EQ(ana.Ask("ana|pw|slc|", port),
              (Replies{kWelcome, OwnScore("0"), PlayerList({"+ana"}), Ranking({"ana - 0"}), kConnected}));
    EXPECT_EQ(ana.Ask("ana|pw|msg|oi|gente \xE9 n\xF3s", port), (Replies{Chat("ana", "oi|gente \xE9 n\xF3s")}));
    EXPECT_EQ(ana.Ask("ana|pw|scj|$10", port), (Replies{Ranking({"ana - 16"})}));
    EXPECT_EQ(ReadFile(folder / "cadastro.txt"), ",Nick,Senha,Ip,Pontos,,\r\n,ana,pw,127.0.0.1,16,+,\r\n");
    EXPECT_EQ(ana.Ask("no bars here", port, 500), Replies{});
    EXPECT_EQ(ana.Ask(std::string(3000, 'z'), port, 500), Replies{});
    EXPECT_EQ(ana.Ask("ana|not-the-password|slc|", port), (Replies{kNickTaken})) << "still serving";

    // The operator's console over the lobby's pipe, found from the data folder as on Linux.
    struct Command {
        std::wstring words;
        std::string out;
        Replies sent;
    };
    const Command commands[] = {
        {L"status", "players: 1 online, 1 registered", {}},
        {L"who", "ana", {}},
        {L"notice Volta j\u00e1", "sent to 1 player", {"sys|Volta j\xE1"}},
        {L"save", "saved in", {}},
        {L"kick ana", "ana is offline now", {}},
    };
    for (const Command& command : commands) {
        const ChildResult ctl = RunChild(L"\"" + BesideTest(L"lobbyctl.exe") + L"\" --dir \"" + folder.wstring() + L"\" " + command.words, 30000);
        EXPECT_EQ(ctl.exitCode, 0u) << ctl.err;
        EXPECT_NE(ctl.out.find(command.out), std::string::npos) << ctl.out;
        EXPECT_EQ(ana.Take(300), command.sent);
    }

    const ChildResult second = RunChild(server(folder / "other"), 30000);
    EXPECT_EQ(second.exitCode, 1u);
    EXPECT_NE(second.err.find("Address already in use"), std::string::npos) << second.err;

    lobby.Wait(0);
    fs::remove_all(folder);
}

// Run by the service manager: it serves, and a stop saves the registry and reports exit 0.
// (Wine ends the services of a prefix when its server goes; the test's own process keeps it.)
TEST(LobbyServerExe, RunsAsAServiceAndSavesWhenStopped)
{
    WinsockSession session;
    Player ana;
    const std::uint16_t port = FreePort();
    const std::wstring name = L"lobby-test-" + std::to_wstring(::GetCurrentProcessId());
    const fs::path folder = fs::temp_directory_path() / name;
    fs::remove_all(folder);
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr) << ::GetLastError();
    const std::wstring command = L"\"" + BesideTest(L"lobby-server.exe") + L"\" m5qt4 --service --listen-port " +
                                 std::to_wstring(port) + L" --reply-port " + std::to_wstring(ana.Port()) + L" --dir \"" +
                                 folder.wstring() + L"\"";
    SC_HANDLE service = ::CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                         SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                         nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << ::GetLastError();
    EXPECT_TRUE(::StartServiceW(service, 0, nullptr)) << ::GetLastError();

    std::vector<std::string> welcome;
    for (int i = 0; i < 40 && welcome.empty(); ++i)
        welcome = ana.Ask("ana|pw|slc|", port, 250); // the service starts in its own time
    EXPECT_EQ(welcome.size(), 5u);
    EXPECT_EQ(ana.Ask("ana|pw|scj|$10", port), (std::vector<std::string>{Ranking({"ana - 16"})}));

    SERVICE_STATUS status{};
    EXPECT_TRUE(::ControlService(service, SERVICE_CONTROL_STOP, &status)) << ::GetLastError();
    for (int i = 0; i < 200 && ::QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_NE(ReadFile(folder / "cadastro.txt").find(",ana,pw,127.0.0.1,16,"), std::string::npos);

    ::DeleteService(service);
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    fs::remove_all(folder);
}

// lobbyctl.exe without --dir finds the lobby started from its own folder: with the data in
// the folder data beside it (the zip's start script) or in the folder itself (no --dir); with
// no lobby there it tells of the service's pipe, the last place it looked.
TEST(LobbyctlExe, FindsTheLobbyStartedBesideItWithoutDir)
{
    WinsockSession session;
    const fs::path unpacked = fs::temp_directory_path() / (L"lobby-unpacked-" + std::to_wstring(::GetCurrentProcessId()));
    fs::remove_all(unpacked);
    fs::create_directories(unpacked);
    fs::copy_file(BesideTest(L"lobbyctl.exe"), unpacked / L"lobbyctl.exe");
    const std::wstring lobbyctl = L"\"" + (unpacked / L"lobbyctl.exe").wstring() + L"\" ";

    for (const fs::path& dataFolder : {unpacked / L"data", unpacked}) {
        ChildProcess lobby(L"\"" + BesideTest(L"lobby-server.exe") + L"\" m5qt4 --headless --listen-port " +
                           std::to_wstring(FreePort()) + L" --reply-port 9 --dir \"" + dataFolder.wstring() + L"\"");
        for (int i = 0; i < 600 && lobby.OutSoFar().find("listening on UDP port") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the process starts in its own time
        ASSERT_NE(lobby.OutSoFar().find("listening on UDP port"), std::string::npos) << dataFolder;
        const ChildResult status = RunChild(lobbyctl + L"status", 60000);
        EXPECT_EQ(status.exitCode, 0u) << dataFolder << ": " << status.err;
        EXPECT_NE(status.out.find("players: 0 online, 0 registered"), std::string::npos) << status.out;
        lobby.Wait(0);
    }

    const ChildResult none = RunChild(lobbyctl + L"status", 60000);
    EXPECT_EQ(none.exitCode, 3u) << none.out;
    EXPECT_NE(none.err.find("no lobby is running on \\\\.\\pipe\\lobby-server "), std::string::npos) << none.err;
    fs::remove_all(unpacked);
}

} // namespace
