#include "platform/system_event_loop.h"

#include "platform/win32/wait_event_loop.h"

namespace lobby {

std::unique_ptr<SystemEventLoop> MakeSystemEventLoop()
{
    return std::make_unique<win32::WaitEventLoop>();
}

} // namespace lobby
