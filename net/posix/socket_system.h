#pragma once

// What the shared socket code of net/ takes from a POSIX system: its socket headers, and
// the session a thread holds while it uses sockets, which POSIX does not need.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace lobby {

// Nothing to start or end: POSIX sockets are there from the program's start.
class SocketSession {
public:
    SocketSession() noexcept {}
};

} // namespace lobby
