// The Windows pieces of the platform layer and the endpoint's socket, run under Wine.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/win32/winsock_udp.h"
#include "platform/win32/console_control.h"
#include "platform/win32/durable_file.h"
#include "platform/local_client.h"
#include "platform/local_server.h"
#include "platform/signal_pipe.h"
#include "platform/win32/pipe_name.h"
#include "platform/win32/wait_event_loop.h"
#include "platform/win32/regional_texts.h"
#include "platform/win32/wait_loop.h"
#include "platform/win32/windows_error.h"

using namespace lobby;
using namespace lobby::win32;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F; // 127.0.0.1, network byte order

// A folder of the test's own, removed afterwards.
struct Folder {
    Folder() : path(fs::temp_directory_path() / ("lobby-test-" + std::to_string(::GetCurrentProcessId()))) { fs::create_directories(path); }
    ~Folder() { fs::remove_all(path); }
    fs::path path;
};

std::string Contents(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WinUdpSocket, ExchangesDatagramsOverLoopbackAndReportsTruncationAndTakenPorts)
{
    WinsockSession session;
    int error = -1;
    WinUdpSocket server = WinUdpSocket::Open(error);
    ASSERT_EQ(error, 0);
    ASSERT_EQ(server.Bind(0), 0);
    WinUdpSocket client = WinUdpSocket::Open(error);
    ASSERT_EQ(client.Bind(0), 0);

    char buffer[8];
    EXPECT_EQ(server.ReceiveFrom(buffer, sizeof buffer).error, WSAEWOULDBLOCK);
    ASSERT_EQ(client.SendTo("a|b|slc|", 8, kLoopback, server.BoundPort()), 0);
    ASSERT_EQ(client.SendTo("longer than eight", 17, kLoopback, server.BoundPort()), 0);
    ASSERT_EQ(::WaitForSingleObject(server.ReadyEvent(), 5000), WAIT_OBJECT_0);
    server.ClearReady();
    const WinUdpSocket::Received fits = server.ReceiveFrom(buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(fits.length)), "a|b|slc|");
    EXPECT_EQ(fits.fromAddress, kLoopback);
    EXPECT_EQ(fits.fromPort, client.BoundPort());
    const WinUdpSocket::Received longer = server.ReceiveFrom(buffer, sizeof buffer);
    EXPECT_EQ(longer.length, 9) << "a longer datagram reads as longer than the buffer";
    EXPECT_EQ(std::string(buffer, 8), "longer t");

    WinUdpSocket second = WinUdpSocket::Open(error);
    const int taken = second.Bind(server.BoundPort());
    EXPECT_EQ(taken, WSAEADDRINUSE);
    EXPECT_EQ(WinsockErrorReason(taken), "Address already in use");
    EXPECT_EQ(ClassifyWinsockError(WSAEWOULDBLOCK), WinsockErrorKind::WouldBlock);
}

TEST(DurableFile, ReplacesWholeLeavesNoTemporaryAndNamesTheFileWhenItFails)
{
    Folder folder;
    const fs::path registry = folder.path / "cadastro.txt";
    std::ofstream(registry, std::ios::binary) << "old";
    ReplaceFileDurably(registry, ",Nick,Senha,Ip,Pontos,\r\n");
    EXPECT_EQ(Contents(registry), ",Nick,Senha,Ip,Pontos,\r\n");
    EXPECT_FALSE(fs::exists(folder.path / "cadastro.txt.tmp"));

    try {
        ReplaceFileDurably(folder.path / "missing" / "cadastro.txt", "x");
        FAIL() << "a file in a missing folder was replaced";
    } catch (const WindowsError& error) {
        EXPECT_NE(std::string(error.what()).find("Cannot create"), std::string::npos) << error.what();
    }

    LockedAppendFile first(folder.path / "log.txt");
    LockedAppendFile second(folder.path / "log.txt");
    first.Append("one\r\n");
    second.Append("two\r\n");
    first.Append("three\r\n");
    EXPECT_EQ(Contents(folder.path / "log.txt"), "one\r\ntwo\r\nthree\r\n");
}

TEST(RegionalTexts, TranslatesWindowsPicturesAndReadsTheLocale)
{
    const std::pair<const char*, const char*> pictures[] = {
        {"dd/MM/yyyy", "%d/%m/%Y"}, {"M/d/yyyy", "%-m/%-d/%Y"}, {"yyyy-MM-dd", "%Y-%m-%d"},
        {"dddd, d 'de' MMMM 'de' yyyy", "%A, %-d de %B de %Y"}, {"d.M.yy", "%-d.%-m.%y"},
        {"h:mm:ss tt", "%-I:%M:%S %p"}, {"HH'h'mm", "%Hh%M"}, {"'it''s' 100%", "it's 100%%"}, {"gg yyyy", " %Y"}};
    for (const auto& [windows, strftime] : pictures)
        EXPECT_EQ(StrftimePicture(windows), strftime) << windows;

    const RegionalTexts brazil = ReadRegionalTexts(L"pt-BR");
    EXPECT_EQ(brazil.shortDatePicture, "dd/MM/yyyy");
    EXPECT_EQ(brazil.dayNames[0], "domingo");
    EXPECT_EQ(brazil.monthNames[2], "mar\xE7o") << "Windows-1252 bytes, not UTF-8";
    const RegionalTexts us = ReadRegionalTexts(L"en-US");
    EXPECT_EQ(us.shortDatePicture, "M/d/yyyy");
    EXPECT_EQ(us.dayNames[1], "Monday");
    EXPECT_EQ(us.pmDesignator, "PM");
}

TEST(WaitLoop, RunsStepsOfTimeAndWatchedObjectsAndQuits)
{
    std::uint64_t now = 1000;
    WaitLoop loop([&] { return now; });
    int ticks = 0;
    loop.StartTimer(300ms, [&] { ++ticks; });
    loop.RunOnce(0ms);
    EXPECT_EQ(ticks, 0);
    now += 300;
    loop.RunOnce(0ms);
    EXPECT_EQ(ticks, 1);

    HANDLE event = ::CreateEventW(nullptr, FALSE, TRUE, nullptr);
    int woke = 0;
    const int watch = loop.Watch(event, [&] { ++woke; });
    loop.RunOnce(0ms);
    EXPECT_EQ(woke, 1);
    loop.Unwatch(watch);
    ::SetEvent(event);
    loop.RunOnce(0ms);
    EXPECT_EQ(woke, 1) << "an object no longer watched wakes nobody";
    ::CloseHandle(event);

    ::PostQuitMessage(0);
    EXPECT_FALSE(loop.RunOnce(1000ms)) << "WM_QUIT ends the loop";
}

TEST(ConsoleControl, CtrlCWakesTheLoopAndEveryEventHasItsKind)
{
    int wakes = 0;
    ConsoleControl control([&] { ++wakes; });
    EXPECT_FALSE(control.Take());
    EXPECT_TRUE(ConsoleControl::Deliver(CTRL_C_EVENT));
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(control.Take(), ConsoleControl::Kind::CtrlC);
    EXPECT_FALSE(control.Take()) << "taken once";
    EXPECT_EQ(ConsoleControl::KindOf(CTRL_BREAK_EVENT), ConsoleControl::Kind::CtrlBreak);
    EXPECT_EQ(ConsoleControl::KindOf(CTRL_CLOSE_EVENT), ConsoleControl::Kind::Close);
    EXPECT_EQ(ConsoleControl::KindOf(CTRL_LOGOFF_EVENT), ConsoleControl::Kind::LogOff);
    EXPECT_EQ(ConsoleControl::KindOf(CTRL_SHUTDOWN_EVENT), ConsoleControl::Kind::ShutDown);
}

// Every console event closes the lobby on its loop, as SIGINT and SIGTERM do on Linux (the
// save and the exit code follow in the run both systems share). Windows calls the handler on
// a thread of its own, which close, log-off and shut-down keep until the process ends.
TEST(SignalPipeOnWindows, EveryConsoleEventClosesTheLobbyOnItsLoop)
{
    WaitEventLoop loop;
    int closes = 0;
    SignalPipe pipe(loop, [&] { ++closes; }, [] {});
    for (const DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        const int before = closes;
        std::thread([event] { ConsoleControl::Deliver(event); }).detach();
        for (int i = 0; i < 200 && closes == before; ++i)
            loop.ProcessEvents(10);
        EXPECT_EQ(closes, before + 1) << "event " << event;
    }
}

// The console's pipe, with lobbyctl's side of it run beside the loop as it runs in its own
// process: one request, one answer, and the console's bounds.
TEST(LocalServerOnPipe, AnswersBoundsRequestsAndClientsAndKeepsItsName)
{
    WaitEventLoop loop;
    LocalServerOptions options;
    options.path = "\\\\.\\pipe\\lobby-test-" + std::to_string(::GetCurrentProcessId());
    options.maxClients = 1;
    options.maxRequestBytes = 16;
    options.busyAnswer = "busy\n";
    options.tooLongAnswer = "too long\n";
    std::vector<LocalAnswer> later;
    LocalServer server(loop, options, [&](std::string request, LocalAnswer answer) {
        if (request == "later")
            later.push_back(answer);
        else
            answer.Send("got " + request + "\n");
    });
    // Bounds generous enough for a busy machine under Wine: each wait ends as soon as what it
    // waits for is there.
    const auto start = [&](std::string request) {
        return std::async(std::launch::async, [&options, request] { return ExchangeOverLocalSocket(options.path, request, 60000); });
    };
    const auto finish = [&](std::future<LocalExchange>& exchange) {
        for (int i = 0; i < 6000 && exchange.wait_for(0ms) != std::future_status::ready; ++i)
            loop.ProcessEvents(10);
        return exchange.get().answer;
    };

    auto status = start("status\r\n");
    EXPECT_EQ(finish(status), "got status\n");
    auto tooLong = start(std::string(40, 'x'));
    EXPECT_EQ(finish(tooLong), "too long\n");
    auto waiting = start("later\n");
    for (int i = 0; i < 6000 && later.empty(); ++i)
        loop.ProcessEvents(10);
    ASSERT_EQ(later.size(), 1u) << "the request kept waiting never arrived";
    auto second = start("status\n");
    EXPECT_EQ(finish(second), "busy\n") << "one client at a time";
    later.at(0).Send("done\n");
    EXPECT_EQ(finish(waiting), "done\n");
    EXPECT_EQ(server.Counters().accepted, 3u);
    EXPECT_EQ(server.Counters().busy, 1u);

    EXPECT_THROW(LocalServer(loop, options, nullptr), LocalSocketInUse);
    EXPECT_EQ(ExchangeOverLocalSocket(options.path + "-none", "status\n", 1000).failure, LocalFailure::NotRunning);
    EXPECT_EQ(PipeNameFor("C:\\Jogos\\lobby.sock"), L"\\\\.\\pipe\\lobby-server/C:/Jogos/lobby.sock");
}

} // namespace
