#include "platform/system_event_loop.h"

#include "platform/linux/epoll_event_loop.h"

namespace lobby {

std::unique_ptr<SystemEventLoop> MakeSystemEventLoop()
{
    return std::make_unique<EpollEventLoop>();
}

} // namespace lobby
