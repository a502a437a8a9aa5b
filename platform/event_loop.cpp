#include "platform/event_loop.h"

#include <iostream>

void ReportLoopError(const LoopErrorHandler& onError, const std::exception& error) noexcept
{
    try {
        if (onError) {
            onError(error);
            return;
        }
    } catch (const std::exception& failure) {
        std::cerr << "Error handler failed: " << failure.what() << '\n';
    } catch (...) {
        std::cerr << "Error handler failed\n";
    }
    std::cerr << error.what() << '\n';
}
