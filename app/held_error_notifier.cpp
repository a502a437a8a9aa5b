#include "app/held_error_notifier.h"

namespace lobby {

void HeldErrorNotifier::Write(LinePriority priority, const std::string& caption, const std::string& text)
{
    if (!showing_) {
        StandardErrorNotifier::Write(priority, caption, text);
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
