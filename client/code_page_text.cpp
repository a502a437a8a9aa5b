#include "client/code_page_text.h"

#include "client/client_options.h"
#include "platform/cp1252.h"

namespace lobby {

std::string CodePageText(std::string_view utf8, std::string_view what)
{
    Cp1252Conversion converted = Cp1252FromUtf8(utf8, what);
    if (!converted.problem.empty())
        throw UsageError(converted.problem + "; --raw sends the bytes as given");
    return std::move(converted.text);
}

} // namespace lobby
