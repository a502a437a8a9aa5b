#include "platform/local_client.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

#include <windows.h>
#include <sddl.h>

#include "platform/exception.h"
#include "platform/win32/owner_only.h"
#include "platform/win32/pipe_name.h"
#include "platform/win32/windows_error.h"

namespace lobby {

using namespace win32;

namespace {

using Clock = std::chrono::steady_clock;

LocalExchange Failed(LocalFailure failure, DWORD error)
{
    return LocalExchange::Failed(failure, SystemMessage(error));
}

LocalFailure FailureOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return LocalFailure::NotRunning;
    case ERROR_ACCESS_DENIED:
        return LocalFailure::NotAllowed;
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
        return LocalFailure::TimedOut;
    default:
        return LocalFailure::Other;
    }
}

// A handle closed when it goes, with the overlapped operations on it done within the time left.
class Pipe {
public:
    explicit Pipe(HANDLE handle) : handle_(handle), event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Pipe()
    {
        ::CloseHandle(handle_);
        ::CloseHandle(event_);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // Runs one read or write to its end, or to the deadline (then cancelled: WAIT_TIMEOUT).
    // Returns 0 or the failure; *moreData is set when a read took part of a longer message.
    DWORD Transfer(bool write, void* buffer, DWORD size, DWORD& transferred, Clock::time_point deadline,
                   bool* moreData = nullptr)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        const BOOL started = write ? ::WriteFile(handle_, buffer, size, nullptr, &overlapped)
                                   : ::ReadFile(handle_, buffer, size, nullptr, &overlapped);
        if (!started && ::GetLastError() != ERROR_IO_PENDING && ::GetLastError() != ERROR_MORE_DATA)
            return ::GetLastError();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (::WaitForSingleObject(event_, left > 0 ? static_cast<DWORD>(left) : 0) != WAIT_OBJECT_0) {
            ::CancelIoEx(handle_, &overlapped);
            ::GetOverlappedResult(handle_, &overlapped, &transferred, TRUE);
            return WAIT_TIMEOUT;
        }
        if (::GetOverlappedResult(handle_, &overlapped, &transferred, FALSE))
            return 0;
        const DWORD error = ::GetLastError();
        if (error == ERROR_MORE_DATA && moreData != nullptr) {
            *moreData = true;
            return 0;
        }
        return error;
    }

private:
    HANDLE handle_;
    HANDLE event_;
};

// The user a process runs as, as an SDDL SID, or nothing with the system's reason.
std::optional<std::wstring> ProcessUser(DWORD processId, DWORD& error)
{
    const HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        error = ::GetLastError();
        return std::nullopt;
    }
    HANDLE token = nullptr;
    std::optional<std::wstring> sid;
    if (::OpenProcessToken(process, TOKEN_QUERY, &token)) {
        DWORD size = 0;
        ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<unsigned char> buffer(std::max<DWORD>(size, sizeof(TOKEN_USER)));
        wchar_t* text = nullptr;
        if (::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
            ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
            sid = text;
            ::LocalFree(text);
        }
    }
    error = ::GetLastError();
    if (token != nullptr)
        ::CloseHandle(token);
    ::CloseHandle(process);
    return sid;
}

// Whether the process serving the pipe runs as this user or as SYSTEM, as the lobby does,
// before a word goes to it; why not in why. Anyone may make a pipe of a free name.
bool ServerTrusted(HANDLE pipe, std::string& why)
{
    ULONG processId = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &processId)) {
        why = "the program serving the pipe cannot be told: " + SystemMessage(::GetLastError());
        return false;
    }
    DWORD error = 0;
    const std::optional<std::wstring> user = ProcessUser(processId, error);
    if (!user) {
        why = "the user of the program serving the pipe (process " + std::to_string(processId) +
              ") cannot be read: " + SystemMessage(error);
        return false;
    }
    if (*user == OwnerOnly::UserSid() || *user == L"S-1-5-18")
        return true;
    why = "the program serving the pipe (process " + std::to_string(processId) + ") runs as another user (" +
          Narrow(*user, CP_UTF8) + ")";
    return false;
}

} // namespace

// The console's pipe: the request is written whole, the answer is one message read to its
// end, then the pipe is closed, which frees its place for the next client.
LocalExchange ExchangeOverLocalSocket(const std::string& path, std::string_view request, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::wstring name;
    try {
        name = PipeNameFor(path);
    } catch (const Exception& error) {
        return LocalExchange::Failed(LocalFailure::Other, error.Message());
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (;;) {
        handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            break;
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY)
            return Failed(FailureOf(error), error);
        // Every place taken: wait for one, within the time given, trying again now and then
        // (a place that frees while the wait begins may not end it).
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Failed(LocalFailure::TimedOut, ERROR_PIPE_BUSY);
        if (!::WaitNamedPipeW(name.c_str(), static_cast<DWORD>(std::min<long long>(left, 50))))
            ::Sleep(1);
    }
    Pipe pipe(handle);
    std::string why;
    if (!ServerTrusted(handle, why))
        return LocalExchange::Failed(LocalFailure::Untrusted, why);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(handle, &mode, nullptr, nullptr))
        return Failed(LocalFailure::Other, ::GetLastError());

    std::string sent(request);
    DWORD transferred = 0;
    if (const DWORD error = pipe.Transfer(true, sent.data(), static_cast<DWORD>(sent.size()), transferred, deadline))
        return Failed(FailureOf(error), error);
    LocalExchange result;
    for (bool more = true; more;) {
        more = false;
        char buffer[4096];
        transferred = 0;
        const DWORD error = pipe.Transfer(false, buffer, sizeof buffer, transferred, deadline, &more);
        if (error != 0 && error != ERROR_BROKEN_PIPE && error != ERROR_PIPE_NOT_CONNECTED)
            return Failed(FailureOf(error), error);
        result.answer.append(buffer, transferred);
    }
    return result;
}

} // namespace lobby
