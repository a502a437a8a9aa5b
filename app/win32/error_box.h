#pragma once

#include <string>

#include "app/held_error_notifier.h"

namespace lobby::win32 {

// The window's error box, Windows' own: OK button, stop icon, the lobby's caption and text.
// Errors before the loop runs are held (HeldErrorNotifier). Once the loop runs, each box is
// shown by a thread of its own and left to the operator, so the handler that failed does
// not wait for OK and datagrams keep being handled while it is open; while the loop does not
// run (a refused start, the shut-down after it), a box is waited for.
class ErrorBox : public HeldErrorNotifier {
public:
    // The owner says when its loop runs: boxes are left to the operator only then.
    void SetLoopRunning(bool running) { loopRunning_ = running; }

protected:
    void Show(const std::string& caption, const std::string& text) override;

private:
    bool loopRunning_ = false;
};

} // namespace lobby::win32
