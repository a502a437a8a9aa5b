#pragma once

#include <optional>
#include <string_view>

namespace lobby {

// One request, "nick|password|command|argument", split once into views over the bytes it
// arrived in, which must outlive it. The flood guard and the handler both work on this one
// split.
struct RequestFields {
    std::string_view nick;     // up to the first "|"
    std::string_view password; // up to the second "|"
    std::string_view command;  // the three bytes after it, fewer when the request ends sooner
    std::string_view argument; // after the byte that follows the command, whatever that byte
                               // is: the rest of the request, "|" included
};

// The fields of bytes; nothing when bytes name no nick and password (fewer than two "|"),
// so that nothing is read past their end. Inline: it runs for every request.
inline std::optional<RequestFields> SplitRequest(std::string_view bytes)
{
    const auto firstBar = bytes.find('|');
    if (firstBar == std::string_view::npos)
        return std::nullopt;
    const auto secondBar = bytes.find('|', firstBar + 1);
    if (secondBar == std::string_view::npos)
        return std::nullopt;
    const std::string_view rest = bytes.substr(secondBar + 1);
    return RequestFields{bytes.substr(0, firstBar), bytes.substr(firstBar + 1, secondBar - firstBar - 1),
                         rest.substr(0, 3), rest.size() > 4 ? rest.substr(4) : std::string_view()};
}

} // namespace lobby
