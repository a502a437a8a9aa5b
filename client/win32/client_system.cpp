// lobby-client's wait on Windows: the socket's ready event and the console's Ctrl+C, waited
// for together.
#include "client/client_system.h"

#include <algorithm>
#include <atomic>

#include <winsock2.h>

#include "net/socket_error.h"
#include "platform/command_words.h"

namespace lobby {

namespace {

std::atomic<bool> stopRequested{false};
// Set by the console's handler, watched beside the socket: a Ctrl+C that comes before the
// wait leaves it set, so it is never lost between the check and the wait.
HANDLE stopEvent = nullptr;

// Ctrl+C, Ctrl+Break and the console's close end the wait; the process then ends the way it
// would after its last reply (for a close, Windows allows it a few seconds).
BOOL WINAPI RequestStop(DWORD)
{
    stopRequested = true;
    ::SetEvent(stopEvent);
    return TRUE;
}

} // namespace

std::vector<std::string> ProgramWords(int argc, char** argv)
{
    ::SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> words = CommandWords(argc, argv);
    if (!words.empty())
        words.erase(words.begin()); // the program's name
    return words;
}

void CatchStopRequests()
{
    stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(RequestStop, TRUE);
}

bool StopRequested()
{
    return stopRequested;
}

BindRefusal BindRefusalOf(int error) noexcept
{
    // A port held exclusively by another program reads as "access denied" on Windows.
    if (error == WSAEADDRINUSE || error == WSAEACCES)
        return BindRefusal::PortTaken;
    if (error == WSAEADDRNOTAVAIL)
        return BindRefusal::AddressNotLocal;
    return BindRefusal::Other;
}

bool ReplySocket::WaitForDatagrams(std::optional<std::chrono::milliseconds> timeout)
{
    const HANDLE watched[] = {reinterpret_cast<HANDLE>(socket_.Watchable()), stopEvent};
    const DWORD count = stopEvent != nullptr ? 2 : 1;
    // Below INFINITE, which would wait without end.
    const DWORD limit = timeout ? static_cast<DWORD>(std::min<std::int64_t>(timeout->count(), INFINITE - 1)) : INFINITE;
    const DWORD woken = ::WaitForMultipleObjects(count, watched, FALSE, limit);
    if (woken == WAIT_FAILED)
        throw ClientFailure("cannot wait for replies: " + SocketErrorReason(static_cast<int>(::GetLastError())));
    if (woken != WAIT_OBJECT_0)
        return false;
    // Cleared before the receives: a datagram arriving during them signals it again.
    socket_.ClearReady();
    return true;
}

} // namespace lobby
