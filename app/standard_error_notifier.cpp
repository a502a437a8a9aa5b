#include "app/standard_error_notifier.h"

namespace lobby {

void StandardErrorNotifier::ShowError(const std::string& caption, const std::string& text)
{
    Write(LinePriority::kWarning, caption, text);
}

void StandardErrorNotifier::ShowFailure(const std::string& caption, const std::string& text)
{
    Write(LinePriority::kFailure, caption, text);
}

void StandardErrorNotifier::Write(LinePriority priority, const std::string& caption, const std::string& text)
{
    WriteErrorLine(priority, caption, text);
}

} // namespace lobby
