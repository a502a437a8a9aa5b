#include "platform/event_loop.h"

#include "platform/exception.h"
#include "platform/standard_error.h"

namespace lobby {

void ReportLoopError(const LoopErrorHandler& onError, const std::exception& error) noexcept
{
    try {
        try {
            if (onError) {
                onError(error);
                return;
            }
        } catch (const std::exception& failure) {
            WriteErrorLine("Error handler failed", failure.what());
        } catch (...) {
            WriteErrorLine("Error handler failed");
        }
        WriteErrorLine(error.what());
    } catch (...) {
        // No memory left even for the line: nothing more can be done here, and the loop goes on.
    }
}

void RunReportingErrors(const LoopErrorHandler& onError, const std::function<void()>& fn) noexcept
{
    try {
        fn();
    } catch (const std::exception& error) {
        ReportLoopError(onError, error);
    } catch (...) {
        ReportLoopError(onError, Exception("Unknown error"));
    }
}

} // namespace lobby
