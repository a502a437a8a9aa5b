#pragma once

#include <string_view>

#include "server/flood/flood_guard.h"

namespace lobby {

// Where a request came from: the address the endpoint reported, and the flood guard's key
// for it, worked out once per request.
struct RequestSource {
    std::string_view address;
    AddressKey key;
};

} // namespace lobby
