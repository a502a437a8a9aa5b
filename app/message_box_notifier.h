#pragma once

#include <deque>
#include <string>
#include <utility>

#include "server/operator_notifier.h"

namespace lobby {

// The window's modal error box: OK button, stop icon. Datagrams and ticks keep being handled
// while it is open: once the loop runs, the handler that failed does not wait for OK. Errors
// raised before the loop runs are held and shown once it runs (or once a refused start says
// so), so that no datagram is handled before the registry is loaded; each is written to
// standard error as well when it is raised, so none is lost should the box never come.
class MessageBoxNotifier : public OperatorNotifier {
public:
    void ShowError(const std::string& caption, const std::string& text) override;
    // From now on errors are shown at once; the ones held are shown first.
    void StartShowing();

private:
    void Show(const std::string& caption, const std::string& text);

    bool showing_ = false;
    std::deque<std::pair<std::string, std::string>> held_;
};

} // namespace lobby
