// The console's named pipe under clients that cost more than they should, what the platform
// layer makes being its owner's only, and the console's control events reaching the loop:
// the Windows pieces, under Wine.
#include <filesystem>
#include <atomic>
#include <chrono>
#include <list>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>

#include "platform/file_system.h"
#include "platform/signal_pipe.h"
#include "platform/system_data_folder.h"
#include "platform/win32/console_control.h"
#include "platform/win32/owner_only.h"
#include "platform/win32/pipe_name.h"
#include "platform/win32/wait_event_loop.h"
#include "platform/win32/windows_error.h"
#include "tests/support/local_server_limits.h"

using namespace lobby;
using namespace lobby::win32;
using namespace test_support;
namespace fs = std::filesystem;

namespace {

// A client end of the pipe whose every operation is overlapped, so that nothing waits on the
// server's loop, which runs on the same thread.
class PipeClientEnd : public LocalClientEnd {
public:
    explicit PipeClientEnd(const std::string& path) : name_(PipeNameFor(path)) {}
    // Wine ends what is pending on a pipe the server hung up only when the handle closes, and
    // now and then not even then: such an operation keeps its buffers rather than have them
    // written after they are gone.
    ~PipeClientEnd() override
    {
        if (pipe_ != INVALID_HANDLE_VALUE) {
            ::CancelIoEx(pipe_, nullptr);
            ::CloseHandle(pipe_);
        }
        bool ended = !reading_ || ::WaitForSingleObject(read_->event, 250) == WAIT_OBJECT_0;
        for (Write& write : writes_)
            ended = ::WaitForSingleObject(write.overlapped.hEvent, 250) == WAIT_OBJECT_0 && ended;
        if (!ended) {
            new std::list<Write>(std::move(writes_));
            read_.release();
            return;
        }
        for (Write& write : writes_)
            ::CloseHandle(write.overlapped.hEvent);
        ::CloseHandle(read_->event);
    }
    bool Connect() override
    {
        if (pipe_ != INVALID_HANDLE_VALUE)
            return true;
        pipe_ = ::CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
        if (pipe_ != INVALID_HANDLE_VALUE) {
            Closed(); // the read starts at once: Wine gives one begun later none of what came before
            return true;
        }
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
        return false;
    }
    void Send(std::string_view bytes) override
    {
        if (bytes.empty())
            return;
        Write& write = writes_.emplace_back();
        write.bytes = bytes;
        write.overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!::WriteFile(pipe_, write.bytes.data(), static_cast<DWORD>(write.bytes.size()), nullptr, &write.overlapped)) {
            const DWORD error = ::GetLastError();
            EXPECT_TRUE(error == ERROR_IO_PENDING || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED) << error;
        }
    }
    // A read stays pending between calls, so that the answer is taken as soon as it comes
    // (Wine's peek does not always see it): the server hangs up once the client has read it,
    // or its time is out.
    bool Closed() override
    {
        for (;;) {
            if (closed_)
                return true;
            if (!reading_) {
                read_->overlapped = OVERLAPPED{};
                read_->overlapped.hEvent = read_->event;
                ::ResetEvent(read_->event);
                ::ReadFile(pipe_, read_->bytes.data(), static_cast<DWORD>(read_->bytes.size()), nullptr, &read_->overlapped);
                reading_ = true;
            }
            DWORD got = 0;
            const bool done = ::GetOverlappedResult(pipe_, &read_->overlapped, &got, FALSE);
            const DWORD error = done ? 0 : ::GetLastError();
            // Wine leaves a pending read pending when the server hangs up; the peek tells.
            DWORD available = 0;
            if (error == ERROR_IO_INCOMPLETE && ::PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr))
                return false;
            if (error == ERROR_IO_INCOMPLETE)
                return closed_ = true; // the read stays pending: the destructor ends it
            reading_ = false;
            received.append(read_->bytes.data(), got);
            if (!done && error != ERROR_MORE_DATA)
                return true; // broken: the server hung up
        }
    }

private:
    struct Write {
        OVERLAPPED overlapped{};
        std::string bytes;
    };
    std::wstring name_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    std::list<Write> writes_; // their buffers stay put while the system writes from them
    struct Read {
        OVERLAPPED overlapped{};
        HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::string bytes = std::string(65536, '\0');
    };
    std::unique_ptr<Read> read_ = std::make_unique<Read>();
    bool reading_ = false;
    bool closed_ = false;
};

struct PipeLimits : testing::Test {
    WaitEventLoop loop;
    const std::string path = "\\\\.\\pipe\\lobby-limits-" + std::to_string(::GetCurrentProcessId()) + "-";
    const LocalClientMaker make = [](const std::string& at) { return std::make_unique<PipeClientEnd>(at); };
};

TEST_F(PipeLimits, BusyTooLongIdleSlowAndNotReadingClientsAreRefusedOrClosedAndCounted)
{
    CheckLocalServerLimits(loop, path, make);
}

TEST_F(PipeLimits, ConnectionsAreTakenNoFasterThanTheAllowanceAndAllAreServed)
{
    CheckLocalServerRate(loop, path, make);
}

// The access list of a file, a folder or (through an open handle) a pipe, in SDDL.
std::wstring AccessList(PSECURITY_DESCRIPTOR descriptor)
{
    wchar_t* text = nullptr;
    EXPECT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                       DACL_SECURITY_INFORMATION, &text, nullptr));
    std::wstring list = text != nullptr ? text : L"";
    ::LocalFree(text);
    ::LocalFree(descriptor);
    return list;
}

// Whether list lets in the program's user and the system with full access, with flags, and
// nobody else. Wine keeps a file's list as its Unix mode, so it gives back neither the order
// nor the mark that nothing is inherited.
::testing::AssertionResult OwnerOnlyList(std::wstring list, const std::wstring& flags)
{
    for (const std::wstring& ace : {L"(A;" + flags + L";FA;;;" + OwnerOnly::UserSid() + L")", L"(A;" + flags + L";FA;;;SY)"}) {
        const std::size_t at = list.find(ace);
        if (at == std::wstring::npos)
            return ::testing::AssertionFailure() << Narrow(list, CP_UTF8) << " lacks " << Narrow(ace, CP_UTF8);
        list.erase(at, ace.size());
    }
    if (list != L"D:" && list != L"D:P")
        return ::testing::AssertionFailure() << "lets in more: " << Narrow(list, CP_UTF8);
    return ::testing::AssertionSuccess();
}

// Every file and folder the lobby's data folder makes, the folders above it that it makes
// included, and the console's pipe: the owner's and the system's only.
TEST(OwnerOnlyOnWindows, EverythingThePlatformLayerMakesIsTheOwnersAndTheSystemsOnly)
{
    const fs::path top = fs::temp_directory_path() / ("lobby-owner-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(top);
    const std::string data = (top / "made" / "data").string() + "\\";
    PrepareDataFolder(data);
    SystemDataFolder folder(data);
    folder.Replace("cadastro.txt", [](FileSink& sink) { return sink.Write(",Nick,Senha,Ip,Pontos,\r\n"); });
    folder.Copy("cadastro.txt", "cadastro.bak");
    folder.OpenForAppending("08-12-2026.log")->Close();
    CreateAfresh(data + "made-afresh").Close();
    const std::pair<std::string, const wchar_t*> made[] = {
        {top.string(), L"OICI"},           {(top / "made").string(), L"OICI"}, {data, L"OICI"},
        {data + "cadastro.txt", L""},      {data + "cadastro.bak", L""},       {data + "08-12-2026.log", L""},
        {data + "made-afresh", L""},
    };
    for (const auto& [path, flags] : made) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(::GetNamedSecurityInfoW(Widen(path, CP_UTF8).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, nullptr, nullptr, &descriptor),
                  0u)
            << path;
        EXPECT_TRUE(OwnerOnlyList(AccessList(descriptor), flags)) << path;
    }
    fs::remove_all(top);

    WaitEventLoop loop;
    const LocalServer server(loop, LimitedOptions("\\\\.\\pipe\\lobby-owner-" + std::to_string(::GetCurrentProcessId())),
                             [](std::string, LocalAnswer) {});
    const HANDLE pipe = ::CreateFileW(PipeNameFor(server.Path()).c_str(), GENERIC_READ | READ_CONTROL, 0, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << ::GetLastError();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = ::GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                         nullptr, &descriptor);
    ::CloseHandle(pipe);
    ASSERT_EQ(read, 0u);
    EXPECT_TRUE(OwnerOnlyList(AccessList(descriptor), L"")) << "the console's pipe";
}

// The handler Windows calls on a thread of its own: which event a later one leaves to be
// taken, and what it leaves to the handlers after it.
TEST(ConsoleControlOnWindows, AStrongerEventIsNeverHiddenAndForeignOnesArePassedOn)
{
    const HANDLE woken = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    using Kind = ConsoleControl::Kind;
    struct Case {
        std::vector<DWORD> events; // in the order they come
        std::optional<Kind> taken;
    };
    const Case cases[] = {
        {{CTRL_C_EVENT}, Kind::CtrlC},
        {{CTRL_C_EVENT, CTRL_BREAK_EVENT}, Kind::CtrlBreak},
        {{CTRL_BREAK_EVENT, CTRL_C_EVENT}, Kind::CtrlBreak},
        {{CTRL_C_EVENT, CTRL_CLOSE_EVENT}, Kind::Close},
        {{CTRL_CLOSE_EVENT, CTRL_C_EVENT}, Kind::Close},
        {{CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT, CTRL_C_EVENT}, Kind::ShutDown},
        {{7}, std::nullopt}, // no event of the lobby's
    };
    for (const Case& c : cases) {
        std::atomic<int> wakes{0};
        ConsoleControl control([&wakes, woken] {
            ++wakes;
            ::SetEvent(woken);
        });
        EXPECT_THROW(ConsoleControl([] {}), std::logic_error) << "one handler at a time";
        int expected = 0;
        for (const DWORD event : c.events) {
            const std::optional<Kind> kind = ConsoleControl::KindOf(event);
            expected += kind.has_value();
            if (!kind || *kind == Kind::CtrlC || *kind == Kind::CtrlBreak) {
                EXPECT_EQ(ConsoleControl::Deliver(event), kind.has_value()) << event;
                continue;
            }
            // Close, log-off and shut-down keep the handler's thread until the process ends.
            std::thread([event] { ConsoleControl::Deliver(event); }).detach();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (wakes < expected && std::chrono::steady_clock::now() < deadline)
                ::WaitForSingleObject(woken, 100);
            ASSERT_EQ(wakes, expected) << event;
        }
        EXPECT_EQ(control.Take(), c.taken) << c.events.front();
        EXPECT_FALSE(control.Take());
    }
    EXPECT_FALSE(ConsoleControl::Deliver(CTRL_C_EVENT)) << "with no handler, Windows' own decides";
    ::CloseHandle(woken);
}

// Ctrl+Break as Windows itself sends it to the console's processes, where Wine sends it.
TEST(ConsoleControlOnWindows, ACtrlBreakFromTheConsoleClosesTheLobbyOnItsLoop)
{
    WaitEventLoop loop;
    int closes = 0;
    SignalPipe pipe(loop, [&] { ++closes; }, [] {});
    if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0)) {
        GTEST_SKIP() << "no console to send the event through: " << ::GetLastError();
    }
    EXPECT_TRUE(PumpLocalUntil(loop, [&] { return closes == 1; }));
}

} // namespace
