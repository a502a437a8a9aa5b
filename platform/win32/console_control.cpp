#include "platform/win32/console_control.h"

#include <stdexcept>

#include "platform/win32/windows_error.h"

namespace lobby::win32 {

namespace {

std::atomic<ConsoleControl*> installed{nullptr};

} // namespace

ConsoleControl::ConsoleControl(std::function<void()> wake) : wake_(std::move(wake))
{
    ConsoleControl* none = nullptr;
    if (!installed.compare_exchange_strong(none, this))
        throw std::logic_error("One console control handler at a time");
    if (!::SetConsoleCtrlHandler(&ConsoleControl::Deliver, TRUE)) {
        installed = nullptr;
        throw WindowsError("Cannot install the console control handler", ::GetLastError());
    }
}

ConsoleControl::~ConsoleControl()
{
    ::SetConsoleCtrlHandler(&ConsoleControl::Deliver, FALSE);
    installed = nullptr;
}

std::optional<ConsoleControl::Kind> ConsoleControl::Take()
{
    const int kind = pending_.exchange(-1);
    if (kind < 0)
        return std::nullopt;
    return static_cast<Kind>(kind);
}

std::optional<ConsoleControl::Kind> ConsoleControl::KindOf(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT: return Kind::CtrlC;
    case CTRL_BREAK_EVENT: return Kind::CtrlBreak;
    case CTRL_CLOSE_EVENT: return Kind::Close;
    case CTRL_LOGOFF_EVENT: return Kind::LogOff;
    case CTRL_SHUTDOWN_EVENT: return Kind::ShutDown;
    default: return std::nullopt;
    }
}

bool ConsoleControl::Record(Kind kind)
{
    // A later event does not hide a stronger one: a close after a Ctrl+C still reads close.
    int before = pending_.load();
    while (before < static_cast<int>(kind) && !pending_.compare_exchange_weak(before, static_cast<int>(kind))) {
    }
    wake_();
    return true;
}

BOOL WINAPI ConsoleControl::Deliver(DWORD type)
{
    ConsoleControl* control = installed.load();
    const std::optional<Kind> kind = KindOf(type);
    if (control == nullptr || !kind)
        return FALSE; // the next handler, in the end Windows' own, decides
    control->Record(*kind);
    if (*kind == Kind::CtrlC || *kind == Kind::CtrlBreak)
        return TRUE;
    // Close, log-off, shut-down: returning would end the process now, before the save.
    ::Sleep(INFINITE);
    return TRUE;
}

} // namespace lobby::win32
