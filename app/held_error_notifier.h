#pragma once

#include <deque>
#include <string>
#include <utility>

#include "app/standard_error_notifier.h"

namespace lobby {

// What the window's error box does whatever draws it (Qt on Linux, Windows' own box): errors
// raised before the loop runs are held and shown once it runs (or once a refused start says
// so), so that no datagram is handled before the registry is loaded; each is written to
// standard error as well when it is raised, so none is lost should the box never come. Once
// showing, each error goes to Show at once; Show decides whether the box is waited for.
class HeldErrorNotifier : public StandardErrorNotifier {
public:
    // From now on errors are shown at once; the ones held are shown first, in order.
    void StartShowing();

protected:
    // Shows one box: left to the operator while the loop runs, so the handler that failed
    // does not wait for OK; waited for otherwise, so the operator reads it before the
    // program goes on (or ends).
    virtual void Show(const std::string& caption, const std::string& text) = 0;

private:
    void Write(LinePriority priority, const std::string& caption, const std::string& text) override;

    bool showing_ = false;
    std::deque<std::pair<std::string, std::string>> held_;
};

} // namespace lobby
