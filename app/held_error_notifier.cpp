#include "app/held_error_notifier.h"

#include "platform/standard_error.h"

namespace lobby {

void HeldErrorNotifier::ShowError(const std::string& caption, const std::string& text)
{
    Take(LinePriority::kWarning, caption, text);
}

void HeldErrorNotifier::ShowFailure(const std::string& caption, const std::string& text)
{
    Take(LinePriority::kFailure, caption, text);
}

void HeldErrorNotifier::Take(LinePriority priority, const std::string& caption, const std::string& text)
{
    if (!showing_) {
        WriteErrorLine(priority, caption, text);
        held_.emplace_back(caption, text);
        return;
    }
    Show(caption, text);
}

void HeldErrorNotifier::StartShowing()
{
    showing_ = true;
    while (!held_.empty()) {
        auto [caption, text] = std::move(held_.front());
        held_.pop_front();
        Show(caption, text);
    }
}

} // namespace lobby
