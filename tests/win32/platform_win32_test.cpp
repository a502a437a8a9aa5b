// The Windows pieces of the platform layer and the endpoint's socket, run under Wine.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "net/win32/winsock_udp.h"
#include "platform/win32/console_control.h"
#include "platform/win32/durable_file.h"
#include "platform/win32/pipe_server.h"
#include "platform/win32/regional_texts.h"
#include "platform/win32/wait_loop.h"
#include "platform/win32/windows_error.h"

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

// A client of the pipe on the test's own thread: writes go into the pipe's buffer at once,
// and replies are read only once the loop has put them there.
struct PipeClient {
    explicit PipeClient(const std::wstring& name)
        : pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)),
          error(pipe == INVALID_HANDLE_VALUE ? ::GetLastError() : 0)
    {
    }
    ~PipeClient() { ::CloseHandle(pipe); }
    void Send(const std::string& text)
    {
        DWORD written = 0;
        ::WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    std::string Reply(WaitLoop& loop)
    {
        DWORD queued = 0;
        for (int i = 0; i < 200 && queued == 0; ++i) {
            loop.RunOnce(10ms);
            if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &queued, nullptr))
                return "(hung up)";
        }
        std::string text(queued, '\0');
        DWORD read = 0;
        if (queued > 0)
            ::ReadFile(pipe, text.data(), queued, &read, nullptr);
        return text;
    }
    HANDLE pipe;
    DWORD error;
};

TEST(PipeServer, AnswersLinesBoundsRequestsAndClients)
{
    WaitLoop loop;
    const std::wstring name = L"\\\\.\\pipe\\lobby-test-" + std::to_wstring(::GetCurrentProcessId());
    PipeServer server(loop, [](std::string_view request) { return "got " + std::string(request) + "\n"; }, name, 2, 16);

    PipeClient first(name);
    ASSERT_EQ(first.error, 0u);
    first.Send("status\r\n");
    EXPECT_EQ(first.Reply(loop), "got status\n");
    first.Send("a\nb\n");
    std::string both = first.Reply(loop);
    if (both.size() < 12)
        both += first.Reply(loop);
    EXPECT_EQ(both, "got a\ngot b\n");

    PipeClient second(name);
    ASSERT_EQ(second.error, 0u);
    PipeClient third(name);
    EXPECT_EQ(third.error, static_cast<DWORD>(ERROR_PIPE_BUSY)) << "two clients at most";

    second.Send(std::string(40, 'x'));
    EXPECT_EQ(second.Reply(loop), "request too long\n");
    EXPECT_THROW(PipeServer(loop, nullptr, name), WindowsError) << "the name is taken";
}

} // namespace
