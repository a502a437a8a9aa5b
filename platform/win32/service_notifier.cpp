#include "platform/service_notifier.h"

namespace lobby {

namespace {

// Windows' service manager is told through the service control handler (service.cpp);
// nothing here listens.
class QuietNotifier : public ServiceNotifier {
public:
    bool Listening() const override { return false; }
    void Send(const std::string&) override {}
    std::optional<std::int64_t> WatchdogUsec() const override { return std::nullopt; }
    std::int64_t MonotonicUsec() const override { return 0; }
};

} // namespace

std::unique_ptr<ServiceNotifier> ServiceNotifier::FromEnvironment()
{
    return std::make_unique<QuietNotifier>();
}

} // namespace lobby
