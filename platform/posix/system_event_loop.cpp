#include "platform/system_event_loop.h"

#include "platform/posix/epoll_event_loop.h"

namespace lobby {

std::unique_ptr<SystemEventLoop> MakeSystemEventLoop()
{
    return std::make_unique<EpollEventLoop>();
}

} // namespace lobby
