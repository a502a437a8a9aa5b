#include "server/operator_notifier.h"

#include "platform/standard_error.h"

namespace lobby {

void OperatorNotifier::ShowFailure(const std::string& caption, const std::string& text)
{
    ShowError(caption, text);
}

void OperatorNotifier::ShowNotice(const std::string& caption, const std::string& text)
{
    WriteErrorLine(LinePriority::kInformation, caption, text);
}

std::string ErrorBoxCaption(std::string_view exeName)
{
    if (const auto slash = exeName.find_last_of("/\\"); slash != std::string_view::npos)
        exeName.remove_prefix(slash + 1);
    exeName = exeName.substr(0, exeName.find('.'));
    std::string caption(exeName);
    for (std::size_t i = 1; i < caption.size(); ++i) {
        if (caption[i] >= 'A' && caption[i] <= 'Z')
            caption[i] = static_cast<char>(caption[i] - 'A' + 'a');
    }
    return caption;
}

std::string ErrorBoxText(std::string_view message)
{
    std::string text(message);
    if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
        text += '.';
    return text;
}

} // namespace lobby
