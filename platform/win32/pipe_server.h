#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include "platform/win32/wait_loop.h"

namespace lobby::win32 {

// The console's named pipe (\\.\pipe\lobby-server by default), the Windows twin of the
// control socket: a client writes one request a line, the handler's answer goes back, and
// the client may ask again or hang up. Everything is overlapped and driven by the loop, so a
// slow or silent client holds up nobody. Bounded: at most maxClients connected at once (the
// next one is told the pipe is busy) and maxRequest bytes a request (a longer one is
// answered "request too long" and the client disconnected). Local clients only
// (PIPE_REJECT_REMOTE_CLIENTS); access for the owner, the administrators and the system.
class PipeServer {
public:
    using Handler = std::function<std::string(std::string_view request)>;
    static constexpr const wchar_t* kDefaultName = L"\\\\.\\pipe\\lobby-server";

    // Throws WindowsError when the pipe cannot be made (another server has it).
    PipeServer(WaitLoop& loop, Handler handler, std::wstring name = kDefaultName, int maxClients = 4,
               std::size_t maxRequest = 4096);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

private:
    struct Instance;

    void Listen(Instance& instance);
    void Read(Instance& instance);
    void Write(Instance& instance, std::string reply, bool hangUp);
    void OnEvent(Instance& instance);
    void Served(Instance& instance);
    void Drop(Instance& instance);
    void CloseAll();

    WaitLoop& loop_;
    Handler handler_;
    std::wstring name_;
    std::size_t maxRequest_;
    std::vector<std::unique_ptr<Instance>> instances_;
};

} // namespace lobby::win32
