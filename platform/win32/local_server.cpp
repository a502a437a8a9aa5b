#include "platform/local_server.h"

#include <algorithm>
#include <vector>

#include <windows.h>

#include "platform/monotonic_clock.h"
#include "platform/win32/owner_only.h"
#include "platform/win32/pipe_name.h"
#include "platform/win32/windows_error.h"

namespace lobby {

using namespace win32;

namespace {

constexpr DWORD kBufferSize = 4096;

} // namespace


// On Windows the console is a named pipe (platform/win32/pipe_name), in message mode so that
// an answer is one message the client knows the end of: the server cannot close its end the
// way a socket is closed without throwing away what the client has not read yet, so it waits
// for the client to hang up (within the answer's time) before it listens again. One instance
// more than maxClients takes the client too many, to tell it the console is busy; past that
// Windows itself says the pipe is busy and the client waits its turn.
class LocalServerCore : public LocalServerState {
public:
    // One instance of the pipe: a client connects to it, is served, and the instance listens
    // again. The client of the moment is a Connection of its own, so an answer meant for a
    // client gone never reaches the next one.
    struct Instance {
        // Listening: ConnectNamedPipe pending; Parked: waiting for the next sweep's allowance;
        // Held: a client connected past the allowance, left unread until the next sweep;
        // Reading: the request line; Working: the lobby has it, no I/O pending; Writing: the
        // answer; Draining: the answer sent, a read pending that ends when the client hangs up.
        enum class State { Listening, Parked, Held, Reading, Working, Writing, Draining };
        HANDLE pipe = INVALID_HANDLE_VALUE;
        HANDLE event = nullptr; // manual-reset, the overlapped operation's
        OVERLAPPED overlapped{};
        State state = State::Listening;
        bool served = false; // a client taken, not refused, and not yet answered
        char chunk[kBufferSize];
        std::string bytes; // the request read so far, then the answer
        std::int64_t deadlineMs = 0;
        std::shared_ptr<LocalAnswer::Connection> client;
        std::unique_ptr<EventLoop::Registration> watch;

        Instance() = default;
        // Cancels what is pending (also when the server's making failed half way) and closes.
        ~Instance();
        Instance(const Instance&) = delete;
        Instance& operator=(const Instance&) = delete;
        void Cancel();
    };

    LocalServerCore(EventLoop& loop, LocalServerOptions options, LocalServer::RequestHandler onRequest);
    ~LocalServerCore();
    LocalServerCore(const LocalServerCore&) = delete;
    LocalServerCore& operator=(const LocalServerCore&) = delete;

    void Answer(Instance& instance, std::string text);
    int Clients() const override
    {
        return static_cast<int>(std::count_if(instances_.begin(), instances_.end(),
                                              [](const auto& instance) { return instance->served; }));
    }

private:
    void Listen(Instance& instance);
    void OnEvent(Instance& instance);
    void Taken(Instance& instance);
    void Read(Instance& instance);
    void RequestRead(Instance& instance);
    void Write(Instance& instance, std::string text);
    void Drain(Instance& instance);
    void Drop(Instance& instance);
    void KeepSweeping();
    void Sweep();
    int AcceptsPerSweep() const { return std::max(1, options_.maxAcceptsPerSecond * options_.sweepIntervalMs / 1000); }

    EventLoop& loop_;
    LocalServer::RequestHandler onRequest_;
    SystemMonotonicClock clock_;
    std::wstring name_;
    int acceptsLeft_ = 0;
    std::vector<std::unique_ptr<Instance>> instances_;
    std::unique_ptr<EventLoop::Registration> sweepTimer_;
};

struct LocalAnswer::Connection {
    LocalServerCore* server;
    LocalServerCore::Instance* instance;
};

void LocalAnswer::Send(std::string text) const
{
    if (const auto connection = connection_.lock())
        connection->server->Answer(*connection->instance, std::move(text));
}

bool LocalAnswer::Pending() const
{
    const auto connection = connection_.lock();
    return connection && connection->instance->state == LocalServerCore::Instance::State::Working;
}

LocalServer::LocalServer(EventLoop& loop, LocalServerOptions options, RequestHandler onRequest)
    : core_(std::make_unique<LocalServerCore>(loop, std::move(options), std::move(onRequest)))
{
}


LocalServerCore::LocalServerCore(EventLoop& loop, LocalServerOptions options, LocalServer::RequestHandler onRequest)
    : LocalServerState(std::move(options)), loop_(loop), onRequest_(std::move(onRequest)), name_(PipeNameFor(options_.path)),
      acceptsLeft_(AcceptsPerSweep())
{
    OwnerOnly access;
    const DWORD count = static_cast<DWORD>(options_.maxClients + 1);
    for (DWORD i = 0; i < count; ++i) {
        auto instance = std::make_unique<Instance>();
        // The first instance must be new: a pipe of that name is another lobby's, which
        // would otherwise take half the operator's requests.
        const DWORD first = i == 0 ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0;
        instance->pipe = ::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first,
                                            PIPE_TYPE_MESSAGE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                PIPE_REJECT_REMOTE_CLIENTS,
                                            count, kBufferSize, kBufferSize, 0, access.Attributes());
        const DWORD error = ::GetLastError();
        if (instance->pipe == INVALID_HANDLE_VALUE) {
            if (i == 0 && (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY))
                throw LocalSocketInUse("The control pipe of " + options_.path +
                                       " is in use: another lobby runs with it (--control PATH names another)");
            throw Exception("The control pipe of " + options_.path + " cannot be made: " + SystemMessage(error));
        }
        instance->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Instance& made = *instances_.emplace_back(std::move(instance));
        if (made.event == nullptr)
            throw Exception("The control pipe of " + options_.path + " cannot be made: " +
                            SystemMessage(::GetLastError()));
        made.watch = loop_.WatchReadable(reinterpret_cast<EventLoop::Watchable>(made.event), [this, &made] {
            OnEvent(made);
        });
        Listen(made);
    }
}

LocalServerCore::~LocalServerCore()
{
    sweepTimer_.reset();
    instances_.clear();
}

LocalServerCore::Instance::~Instance()
{
    watch.reset();
    if (pipe != INVALID_HANDLE_VALUE) {
        Cancel();
        ::CloseHandle(pipe);
    }
    if (event != nullptr)
        ::CloseHandle(event);
}

// Ends the pending operation, if any, and waits for it: the buffers it writes go with us.
void LocalServerCore::Instance::Cancel()
{
    DWORD ignored = 0;
    if (::CancelIoEx(pipe, &overlapped))
        ::GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
    if (event != nullptr)
        ::ResetEvent(event);
}

void LocalServerCore::Listen(Instance& instance)
{
    instance.client.reset();
    instance.served = false;
    instance.bytes.clear();
    if (acceptsLeft_ <= 0) {
        // Picked up again by the next sweep: a client connecting in a loop costs the lobby
        // a few connections a sweep, no more.
        instance.state = Instance::State::Parked;
        KeepSweeping();
        return;
    }
    instance.state = Instance::State::Listening;
    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.event;
    if (::ConnectNamedPipe(instance.pipe, &instance.overlapped))
        ::SetEvent(instance.event);
    else if (::GetLastError() == ERROR_PIPE_CONNECTED) // came between the pipe's making and the call
        ::SetEvent(instance.event);
    // Anything else leaves the instance without a pending operation, so never woken: one
    // client fewer, rather than a retry that could fail for ever.
}

void LocalServerCore::OnEvent(Instance& instance)
{
    DWORD transferred = 0;
    const bool done = ::GetOverlappedResult(instance.pipe, &instance.overlapped, &transferred, FALSE);
    const DWORD error = done ? 0 : ::GetLastError();
    if (!done && error == ERROR_IO_INCOMPLETE)
        return;
    ::ResetEvent(instance.event);
    switch (instance.state) {
    case Instance::State::Listening:
        if (!done && error != ERROR_PIPE_CONNECTED) {
            Listen(instance);
            return;
        }
        Taken(instance);
        return;
    case Instance::State::Reading:
        if (!done && error != ERROR_MORE_DATA) {
            Drop(instance); // the client hung up before its request was whole
            return;
        }
        instance.bytes.append(instance.chunk, transferred);
        RequestRead(instance);
        return;
    case Instance::State::Writing:
        if (!done)
            Drop(instance);
        else
            Drain(instance);
        return;
    case Instance::State::Draining:
        if (done || error == ERROR_MORE_DATA)
            Drain(instance); // bytes past the request are never read as one
        else
            Drop(instance);
        return;
    default:
        return;
    }
}

void LocalServerCore::Taken(Instance& instance)
{
    KeepSweeping();
    if (acceptsLeft_ <= 0) {
        // Every instance listens from the start, so clients connect past the allowance; they
        // wait for the next sweep as a socket's backlog keeps them waiting on Linux.
        instance.state = Instance::State::Held;
        return;
    }
    --acceptsLeft_;
    if (Clients() >= options_.maxClients) {
        ++counters_.busy;
        Write(instance, options_.busyAnswer);
        return;
    }
    ++counters_.accepted;
    instance.served = true;
    instance.client = std::make_shared<LocalAnswer::Connection>(LocalAnswer::Connection{this, &instance});
    instance.deadlineMs = clock_.NowMs() + options_.requestTimeoutMs;
    Read(instance);
}

void LocalServerCore::Read(Instance& instance)
{
    instance.state = Instance::State::Reading;
    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.event;
    const DWORD room = static_cast<DWORD>(std::min<std::size_t>(kBufferSize, options_.maxRequestBytes + 1 - instance.bytes.size()));
    if (!::ReadFile(instance.pipe, instance.chunk, room, nullptr, &instance.overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING && ::GetLastError() != ERROR_MORE_DATA)
        Drop(instance);
}

// The request line, once whole, goes to the lobby; until then the reading goes on, up to
// the request's limit.
void LocalServerCore::RequestRead(Instance& instance)
{
    const std::size_t lineEnd = instance.bytes.find('\n');
    if (lineEnd == std::string::npos) {
        if (instance.bytes.size() > options_.maxRequestBytes) {
            ++counters_.tooLong;
            instance.state = Instance::State::Working;
            Answer(instance, options_.tooLongAnswer);
            return;
        }
        Read(instance);
        return;
    }
    std::string request = instance.bytes.substr(0, lineEnd);
    if (!request.empty() && request.back() == '\r')
        request.pop_back();
    instance.bytes.clear();
    instance.state = Instance::State::Working;
    onRequest_(std::move(request), LocalAnswer(instance.client));
}

void LocalServerCore::Answer(Instance& instance, std::string text)
{
    if (instance.state != Instance::State::Working)
        return;
    Write(instance, std::move(text));
}

void LocalServerCore::Write(Instance& instance, std::string text)
{
    instance.state = Instance::State::Writing;
    instance.bytes = std::move(text);
    instance.deadlineMs = clock_.NowMs() + options_.replyTimeoutMs;
    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.event;
    if (!::WriteFile(instance.pipe, instance.bytes.data(), static_cast<DWORD>(instance.bytes.size()), nullptr,
                     &instance.overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING)
        Drop(instance);
}

// A read that ends when the client hangs up, which it does once it has the whole answer.
void LocalServerCore::Drain(Instance& instance)
{
    instance.state = Instance::State::Draining;
    instance.served = false; // its place is free: the answer is the client's

    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.event;
    if (!::ReadFile(instance.pipe, instance.chunk, kBufferSize, nullptr, &instance.overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING && ::GetLastError() != ERROR_MORE_DATA)
        Drop(instance);
}

void LocalServerCore::Drop(Instance& instance)
{
    ::DisconnectNamedPipe(instance.pipe);
    Listen(instance);
}

void LocalServerCore::KeepSweeping()
{
    if (!sweepTimer_)
        sweepTimer_ = loop_.StartTimer(options_.sweepIntervalMs, [this] { Sweep(); });
}

// A client the lobby is working for has no deadline: its answer comes when the work is done.
void LocalServerCore::Sweep()
{
    acceptsLeft_ = AcceptsPerSweep();
    const std::int64_t now = clock_.NowMs();
    bool idle = true;
    for (auto& instance : instances_) {
        switch (instance->state) {
        case Instance::State::Parked:
            Listen(*instance);
            break;
        case Instance::State::Held:
            Taken(*instance);
            break;
        case Instance::State::Reading:
        case Instance::State::Writing:
        case Instance::State::Draining:
            if (now < instance->deadlineMs)
                break;
            if (instance->state != Instance::State::Draining)
                ++counters_.timedOut;
            instance->Cancel();
            Drop(*instance);
            break;
        default:
            break;
        }
        idle = idle && instance->state == Instance::State::Listening;
    }
    if (idle)
        sweepTimer_.reset(); // the allowance is whole again: nothing to look at until a client comes
}

} // namespace lobby
