#pragma once

// The operator's error boxes and notices collected instead of shown.

#include <string>
#include <vector>

#include "server/lobby/form1.h"

namespace test_support {

using namespace lobby;

struct OperatorError {
    std::string caption;
    std::string text;
};

class RecordingNotifier : public OperatorNotifier {
public:
    void ShowError(const std::string& caption, const std::string& text) override
    {
        errors.push_back({caption, text});
    }
    void ShowNotice(const std::string& caption, const std::string& text) override
    {
        notices.push_back({caption, text});
    }
    // Every error's and notice's text, one a line, errors first.
    std::string AllTold() const
    {
        std::string all;
        for (const auto* list : {&errors, &notices}) {
            for (const OperatorError& told : *list)
                all += told.text + "\n";
        }
        return all;
    }

    std::vector<OperatorError> errors;
    std::vector<OperatorError> notices;
};

} // namespace test_support
