#pragma once

#include "platform/exception.h"

namespace lobby {

// Every failure of the UDP endpoint that is not a stream error: platform errors
// ("Unknown Error No. " and the number), refused hosts, a failed bind or send. It adds
// nothing to Exception so that the lobby can show it like any other error.
class UDPSockError : public Exception {
public:
    using Exception::Exception;
};

} // namespace lobby
