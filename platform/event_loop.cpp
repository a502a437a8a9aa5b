#include "platform/event_loop.h"

#include <iostream>

#include "platform/exception.h"

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
