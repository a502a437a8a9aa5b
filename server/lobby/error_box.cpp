#include "server/lobby/error_box.h"

#include <new>
#include <utility>

#include "platform/exception.h"
#include "server/registry/registry_file.h"

namespace lobby {

ErrorBox::ErrorBox(OperatorNotifier& notifier, std::string exeName)
    : notifier_(notifier), caption_(ErrorBoxCaption(exeName))
{
}

void ErrorBox::ShowError(const std::string& message) { notifier_.ShowError(caption_, ErrorBoxText(message)); }

void ErrorBox::ShowFailure(const std::string& message) { notifier_.ShowFailure(caption_, ErrorBoxText(message)); }

void ErrorBox::ShowNotice(const std::string& message) { notifier_.ShowNotice(caption_, message); }

void ErrorBox::ShowHandlerFailure(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(std::move(failure));
    } catch (const RegistrySaveError& error) {
        // Players would be lost without a word: never held back with a client's errors.
        ShowFailure(error.Message());
    } catch (const Exception& error) {
        ShowHandlerError(error.Message());
    } catch (const std::bad_alloc&) {
        ShowHandlerError("Out of memory");
    } catch (const std::exception& error) {
        ShowHandlerError(error.what());
    }
}

// A client can make requests fail (a score that is no number) as fast as the flood guard lets
// it send, and every source address has its own allowance: shown one by one, such errors
// would bury the operator (and, in the window, stack up boxes).
void ErrorBox::ShowHandlerError(const std::string& message)
{
    if (errorsShownThisMinute_ >= kErrorsShownPerMinute) {
        ++errorsHeld_;
        lastHeldError_ = message;
        return;
    }
    ++errorsShownThisMinute_;
    ShowError(message);
}

void ErrorBox::ReportHeldErrors()
{
    errorsShownThisMinute_ = 0;
    if (errorsHeld_ == 0)
        return;
    const std::string text = std::to_string(errorsHeld_) + " more error" + (errorsHeld_ == 1 ? "" : "s") +
                             " in the last minute not shown one by one; the last: " + lastHeldError_;
    errorsHeld_ = 0;
    lastHeldError_.clear();
    ShowNotice(text);
}

} // namespace lobby
