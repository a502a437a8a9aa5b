#pragma once

#include <string>

#include "app/held_error_notifier.h"

namespace lobby {

// The window's modal error box, drawn by Qt: OK button, stop icon. Datagrams and ticks keep
// being handled while it is open; errors before the loop runs are held (HeldErrorNotifier).
class MessageBoxNotifier : public HeldErrorNotifier {
protected:
    void Show(const std::string& caption, const std::string& text) override;
};

} // namespace lobby
