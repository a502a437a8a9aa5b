// lobby-client's socket and wait on Windows: the endpoint's Winsock socket, its ready event
// and the console's Ctrl+C, waited for together.
#include "client/client_system.h"

#include <algorithm>
#include <atomic>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/host_lookup.h"
#include "net/win32/winsock_udp.h"
#include "platform/command_words.h"

namespace lobby {

using namespace win32;

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

std::optional<std::uint32_t> LookUpHostAddress(const std::string& name)
{
    return ResolveHostName(name);
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

struct ReplySocket::System {
    WinsockSession session;
    WinUdpSocket socket;
};

ReplySocket::ReplySocket() : system_(std::make_unique<System>())
{
    int error = 0;
    system_->socket = WinUdpSocket::Open(error);
    if (!system_->socket.IsOpen())
        throw ClientFailure("cannot open a UDP socket: " + WinsockErrorReason(error));
}

ReplySocket::~ReplySocket() = default;

BindRefusal ReplySocket::Bind(std::uint32_t address, std::uint16_t port, std::string& reason)
{
    const int error = system_->socket.Bind(port, address);
    if (error == 0)
        return BindRefusal::None;
    reason = WinsockErrorReason(error);
    // A port held exclusively by another program reads as "access denied" on Windows.
    if (error == WSAEADDRINUSE || error == WSAEACCES)
        return BindRefusal::PortTaken;
    if (error == WSAEADDRNOTAVAIL)
        return BindRefusal::AddressNotLocal;
    return BindRefusal::Other;
}

std::string ReplySocket::SendTo(const std::string& bytes, std::uint32_t address, std::uint16_t port)
{
    const int error = system_->socket.SendTo(bytes.data(), bytes.size(), address, port);
    return error == 0 ? std::string() : WinsockErrorReason(error);
}

bool ReplySocket::WaitForDatagrams(std::optional<std::chrono::milliseconds> timeout)
{
    const HANDLE watched[] = {system_->socket.ReadyEvent(), stopEvent};
    const DWORD count = stopEvent != nullptr ? 2 : 1;
    // Below INFINITE, which would wait without end.
    const DWORD limit = timeout ? static_cast<DWORD>(std::min<std::int64_t>(timeout->count(), INFINITE - 1)) : INFINITE;
    const DWORD woken = ::WaitForMultipleObjects(count, watched, FALSE, limit);
    if (woken == WAIT_FAILED)
        throw ClientFailure("cannot wait for replies: " + WinsockErrorReason(static_cast<int>(::GetLastError())));
    if (woken != WAIT_OBJECT_0)
        return false;
    // Cleared before the receives: a datagram arriving during them signals it again.
    system_->socket.ClearReady();
    return true;
}

std::optional<std::size_t> ReplySocket::Receive(char* buffer, std::size_t capacity)
{
    const WinUdpSocket::Received received = system_->socket.ReceiveFrom(buffer, capacity);
    if (received.length >= 0)
        return std::min(static_cast<std::size_t>(received.length), capacity);
    if (ClassifyWinsockError(received.error) == WinsockErrorKind::WouldBlock)
        return std::nullopt;
    throw ClientFailure("cannot receive: " + WinsockErrorReason(received.error));
}

} // namespace lobby
