#pragma once

#include <string>

#include "platform/standard_error.h"
#include "server/operator_notifier.h"

namespace lobby {

// Headless: one line on standard error per error, "caption: text", a warning or (what
// loses or risks data) a failure; the loop goes on.
class StandardErrorNotifier : public OperatorNotifier {
public:
    void ShowError(const std::string& caption, const std::string& text) override;
    void ShowFailure(const std::string& caption, const std::string& text) override;

protected:
    // Takes each error with the priority its kind gives it; here it becomes the line.
    virtual void Write(LinePriority priority, const std::string& caption, const std::string& text);
};

} // namespace lobby
