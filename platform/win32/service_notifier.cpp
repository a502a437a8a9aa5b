#include "platform/service_notifier.h"

namespace lobby {

// Windows' service manager is told through the service control handler (service.cpp);
// nothing here listens.
std::unique_ptr<ServiceNotifier> ServiceNotifier::FromEnvironment()
{
    return std::make_unique<QuietServiceNotifier>();
}

} // namespace lobby
