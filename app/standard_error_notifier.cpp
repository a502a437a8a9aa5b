#include "app/standard_error_notifier.h"

#include "platform/standard_error.h"

namespace lobby {

void StandardErrorNotifier::ShowError(const std::string& caption, const std::string& text)
{
    WriteErrorLine(LinePriority::kWarning, caption, text);
}

void StandardErrorNotifier::ShowFailure(const std::string& caption, const std::string& text)
{
    WriteErrorLine(LinePriority::kFailure, caption, text);
}

} // namespace lobby
