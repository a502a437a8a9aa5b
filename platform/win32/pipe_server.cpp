#include "platform/win32/pipe_server.h"

#include <sddl.h>

#include "platform/win32/windows_error.h"

namespace lobby::win32 {

namespace {

constexpr DWORD kBufferSize = 4096;
constexpr std::string_view kTooLong = "request too long\n";

} // namespace

struct PipeServer::Instance {
    enum class State { Connecting, Reading, Writing };
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    State state = State::Connecting;
    int watch = 0;
    char chunk[kBufferSize];
    std::string request; // bytes read and not yet answered
    std::string reply;   // being written
    bool hangUpAfterReply = false;
};

PipeServer::PipeServer(WaitLoop& loop, Handler handler, std::wstring name, int maxClients, std::size_t maxRequest)
    : loop_(loop), handler_(std::move(handler)), name_(std::move(name)), maxRequest_(maxRequest)
{
    // Full access for the owner, the administrators and the system; nobody else.
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;GA;;;OW)(A;;GA;;;BA)(A;;GA;;;SY)",
                                                               SDDL_REVISION_1, &descriptor, nullptr))
        security.lpSecurityDescriptor = descriptor;
    for (int i = 0; i < maxClients; ++i) {
        auto instance = std::make_unique<Instance>();
        // The first instance must be new: a pipe of that name held by another program would
        // otherwise take half the clients.
        const DWORD first = i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0;
        instance->pipe = ::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first,
                                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                            static_cast<DWORD>(maxClients), kBufferSize, kBufferSize, 0, &security);
        instance->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (instance->pipe == INVALID_HANDLE_VALUE || instance->event == nullptr) {
            const DWORD error = ::GetLastError();
            if (instance->event != nullptr)
                ::CloseHandle(instance->event);
            if (descriptor != nullptr)
                ::LocalFree(descriptor);
            CloseAll();
            throw WindowsError("Cannot open the console pipe", error);
        }
        Instance& made = *instance;
        made.watch = loop_.Watch(made.event, [this, &made] { OnEvent(made); });
        instances_.push_back(std::move(instance));
        Listen(made);
    }
    if (descriptor != nullptr)
        ::LocalFree(descriptor);
}

PipeServer::~PipeServer()
{
    CloseAll();
}

void PipeServer::CloseAll()
{
    for (auto& instance : instances_) {
        loop_.Unwatch(instance->watch);
        // Closing the pipe cancels its pending operation; wait for it before the buffers go.
        DWORD ignored = 0;
        if (::CancelIoEx(instance->pipe, nullptr))
            ::GetOverlappedResult(instance->pipe, &instance->overlapped, &ignored, TRUE);
        ::CloseHandle(instance->pipe);
        ::CloseHandle(instance->event);
    }
    instances_.clear();
}

void PipeServer::Listen(Instance& instance)
{
    instance.state = Instance::State::Connecting;
    instance.request.clear();
    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.event;
    if (::ConnectNamedPipe(instance.pipe, &instance.overlapped)) {
        ::SetEvent(instance.event);
        return;
    }
    switch (::GetLastError()) {
    case ERROR_IO_PENDING: return;
    case ERROR_PIPE_CONNECTED: ::SetEvent(instance.event); return; // came between create and connect
    default:
        // The instance is left without a pending operation and so is never woken again: one
        // client fewer, rather than a retry that could fail for ever.
        return;
    }
}

void PipeServer::Read(Instance& instance)
{
    instance.state = Instance::State::Reading;
    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.event;
    if (!::ReadFile(instance.pipe, instance.chunk, kBufferSize, nullptr, &instance.overlapped)
        && ::GetLastError() != ERROR_IO_PENDING)
        Drop(instance);
}

void PipeServer::Write(Instance& instance, std::string reply, bool hangUp)
{
    instance.state = Instance::State::Writing;
    instance.hangUpAfterReply = hangUp;
    instance.reply = std::move(reply);
    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.event;
    if (!::WriteFile(instance.pipe, instance.reply.data(), static_cast<DWORD>(instance.reply.size()), nullptr,
                     &instance.overlapped)
        && ::GetLastError() != ERROR_IO_PENDING)
        Drop(instance);
}

void PipeServer::OnEvent(Instance& instance)
{
    DWORD transferred = 0;
    const bool done = ::GetOverlappedResult(instance.pipe, &instance.overlapped, &transferred, FALSE);
    ::ResetEvent(instance.event);
    if (!done) {
        // The client hung up, or the operation failed: the instance waits for the next one.
        if (::GetLastError() != ERROR_IO_INCOMPLETE)
            Drop(instance);
        return;
    }
    switch (instance.state) {
    case Instance::State::Connecting:
        Read(instance);
        return;
    case Instance::State::Reading:
        instance.request.append(instance.chunk, transferred);
        Served(instance);
        return;
    case Instance::State::Writing:
        if (instance.hangUpAfterReply)
            Drop(instance);
        else
            Served(instance);
        return;
    }
}

// Answers the next whole request line, if one is there, or reads on.
void PipeServer::Served(Instance& instance)
{
    const std::size_t end = instance.request.find('\n');
    if (end == std::string::npos) {
        if (instance.request.size() <= maxRequest_) {
            Read(instance);
            return;
        }
        Write(instance, std::string(kTooLong), true);
        return;
    }
    if (end > maxRequest_) {
        Write(instance, std::string(kTooLong), true);
        return;
    }
    std::string line = instance.request.substr(0, end);
    instance.request.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    Write(instance, handler_(line), false);
}

void PipeServer::Drop(Instance& instance)
{
    ::DisconnectNamedPipe(instance.pipe);
    Listen(instance);
}

} // namespace lobby::win32
