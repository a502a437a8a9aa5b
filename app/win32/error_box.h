#pragma once

#include <deque>
#include <string>
#include <utility>

#include "server/operator_notifier.h"

namespace lobby::win32 {

// The window's error box: OK button, stop icon, the lobby's caption and text. Once the loop
// runs, each box is shown by a thread of its own and left to the operator, so the handler
// that failed does not wait for OK and datagrams keep being handled while it is open.
// Before the loop runs, errors are held and shown once it runs (or once a refused start
// says so), so that no datagram is handled before the registry is loaded; each is written to
// standard error as well when it is raised, so none is lost should the box never come.
// While the loop does not run (a refused start, the shut-down after it), a box is shown and
// waited for, so the operator reads it before the program goes on or ends.
class ErrorBox : public OperatorNotifier {
public:
    void ShowError(const std::string& caption, const std::string& text) override;
    // From now on errors are shown at once; the ones held are shown first.
    void StartShowing();
    // The owner says when its loop runs: boxes are left to the operator only then.
    void SetLoopRunning(bool running) { loopRunning_ = running; }

private:
    void Show(const std::string& caption, const std::string& text);

    bool showing_ = false;
    bool loopRunning_ = false;
    std::deque<std::pair<std::string, std::string>> held_;
};

} // namespace lobby::win32
