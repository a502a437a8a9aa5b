#pragma once

// What the shared socket code of net/ takes from Windows: the Windows Sockets headers, and
// the session a thread holds while it uses sockets (WSAStartup in, WSACleanup out).
#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/win32/winsock_udp.h"

namespace lobby {

using SocketSession = win32::WinsockSession;

} // namespace lobby
