#include "server/request_fields.h"

namespace {

// Takes the text up to the next "|" off the front of rest; nothing when there is no "|".
std::optional<std::string_view> TakeField(std::string_view& rest)
{
    const auto bar = rest.find('|');
    if (bar == std::string_view::npos)
        return std::nullopt;
    const std::string_view field = rest.substr(0, bar);
    rest.remove_prefix(bar + 1);
    return field;
}

} // namespace

std::optional<RequestFields> SplitRequest(std::string_view bytes)
{
    std::string_view rest = bytes;
    const auto nick = TakeField(rest);
    if (!nick)
        return std::nullopt;
    const auto password = TakeField(rest);
    if (!password)
        return std::nullopt;
    return RequestFields{*nick, *password, rest.substr(0, 3), rest.size() > 4 ? rest.substr(4) : std::string_view()};
}
