#include "platform/signal_pipe.h"

#include <memory>

#include "platform/win32/console_control.h"

namespace lobby {

// Windows has no signals to pipe: the console's control events stand for them. Ctrl+C and
// Ctrl+Break are SIGINT, closing the console, log-off and shut-down SIGTERM; all of them
// close the lobby, with a save, as on Linux. Nothing stands for SIGHUP: the console's reload
// is the way to re-read the settings.
struct SignalPipe::System {
    // Set while the SignalPipe lives: a wake-up posted from the handler's thread may reach
    // the loop after the pipe has gone.
    std::shared_ptr<SignalPipe*> owner;
    std::unique_ptr<win32::ConsoleControl> control;
};

SignalPipe::SignalPipe(EventLoop& loop, std::function<void()> onClose, std::function<void()> onReload)
    : onClose_(std::move(onClose)), onReload_(std::move(onReload)), system_(std::make_unique<System>())
{
    system_->owner = std::make_shared<SignalPipe*>(this);
    std::weak_ptr<SignalPipe*> owner = system_->owner;
    // Post is the loop's one entry that is safe from another thread.
    system_->control = std::make_unique<win32::ConsoleControl>([&loop, owner] {
        loop.Post([owner] {
            if (const auto pipe = owner.lock(); pipe && *pipe)
                (*pipe)->Drain();
        });
    });
}

SignalPipe::~SignalPipe()
{
    // The handler goes first, so no event arrives for a pipe half gone.
    system_->control.reset();
    *system_->owner = nullptr;
}

void SignalPipe::Drain()
{
    if (system_->control->Take())
        onClose_();
}

} // namespace lobby
