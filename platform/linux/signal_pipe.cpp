#include "platform/signal_pipe.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/exception.h"
#include "platform/posix/file_descriptor.h"

namespace lobby {

namespace {

int g_writeEnd = -1;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnSignal(int number)
{
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t ignored = ::write(g_writeEnd, &byte, 1);
    errno = saved;
}

} // namespace

struct SignalPipe::System {
    FileDescriptor readEnd;
    FileDescriptor writeEnd; // what the signal handler writes to
};

SignalPipe::SignalPipe(EventLoop& loop, std::function<void()> onClose, std::function<void()> onReload)
    : onClose_(std::move(onClose)), onReload_(std::move(onReload)), system_(std::make_unique<System>())
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        throw Exception(std::string("Cannot create the signal pipe: ") + std::strerror(errno));
    system_->readEnd = FileDescriptor(ends[0]);
    system_->writeEnd = FileDescriptor(ends[1]);
    watch_ = loop.WatchReadable(system_->readEnd.Get(), [this] { Drain(); });
    g_writeEnd = system_->writeEnd.Get();

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

SignalPipe::~SignalPipe()
{
    // The handlers go before the pipe does, so none writes to a closed (or reused) descriptor;
    // the members then close the pipe after the watch has ended.
    for (int number : kSignals)
        ::signal(number, SIG_DFL);
    g_writeEnd = -1;
}

void SignalPipe::Drain()
{
    char bytes[64];
    ssize_t got;
    while ((got = ::read(system_->readEnd.Get(), bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            if (bytes[i] == SIGHUP)
                onReload_();
            else
                onClose_();
        }
    }
}

} // namespace lobby
