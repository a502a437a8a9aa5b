#include "platform/standard_error.h"

namespace lobby {

// Windows keeps no journal reading priorities off standard error.
bool StandardErrorIsJournal()
{
    return false;
}

} // namespace lobby
