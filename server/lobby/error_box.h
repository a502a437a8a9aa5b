#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "server/operator_notifier.h"

namespace lobby {

// What the operator is told: the window's error box, and the notices and failures beside it,
// each captioned with the program's name. It also keeps a flood of handler errors from
// burying the operator: only the first kErrorsShownPerMinute a minute are shown one by one.
class ErrorBox {
public:
    static constexpr int kErrorsShownPerMinute = 10;

    ErrorBox(OperatorNotifier& notifier, std::string exeName);

    // An error, as the window's error box shows it.
    void ShowError(const std::string& message);
    // What loses or risks data (a save, a log write that failed): the highest priority where
    // lines carry one.
    void ShowFailure(const std::string& message);
    // Something the operator should know of that is no error.
    void ShowNotice(const std::string& message);

    // What ended a handler: a RegistrySaveError is shown at once, however many errors the
    // minute had; other errors count against the minute's allowance (the rest are held and
    // told by ReportHeldErrors). An error of no known kind is raised again.
    void ShowHandlerFailure(std::exception_ptr failure);
    // Tells, in one notice, how many errors were held back since the last call and the last
    // of them; nothing when none was. Called on the minute tick, and once the loop has ended
    // so that none is lost at exit.
    void ReportHeldErrors();

private:
    void ShowHandlerError(const std::string& message);

    OperatorNotifier& notifier_;
    std::string caption_;
    int errorsShownThisMinute_ = 0;
    std::uint64_t errorsHeld_ = 0;
    std::string lastHeldError_;
};

} // namespace lobby
