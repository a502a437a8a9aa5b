#include "platform/loop_thread.h"

#include <cstdlib>

#include "platform/standard_error.h"

namespace lobby {

void LoopThread::Abort(const char* entry) noexcept
{
    try {
        WriteErrorLine(entry, "called on a thread other than its event loop's (only Post may be)");
    } catch (...) {
    }
    std::abort();
}

} // namespace lobby
