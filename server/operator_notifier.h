#pragma once

#include <string>
#include <string_view>

namespace lobby {

// What the server tells its operator: errors that end a window or timer handler, and
// notices that need no answer. The front end decides how they are shown (a modal box in the
// window, a line on standard error when headless); the texts are made here.

// Where the operator's errors and notices go. The caption and text arrive ready to show.
class OperatorNotifier {
public:
    virtual ~OperatorNotifier() = default;
    virtual void ShowError(const std::string& caption, const std::string& text) = 0;
    // An error that loses or risks data (a save or a log write that failed): shown as an
    // error is, and where lines carry a priority, under the highest. By default ShowError.
    virtual void ShowFailure(const std::string& caption, const std::string& text);
    // A notice that needs no answer and may come again every minute (the flood summary):
    // never a modal box. By default one line on standard error, "caption: text", for the
    // record (the lowest priority).
    virtual void ShowNotice(const std::string& caption, const std::string& text);
};

// The error box caption for a program file name: the name without its folder, cut at its
// first ".", every character after the first in lower case.
std::string ErrorBoxCaption(std::string_view exeName);
// The error box text for an error message: a "." is added when the message is not empty and
// its last character sorts after ".".
std::string ErrorBoxText(std::string_view message);

} // namespace lobby
