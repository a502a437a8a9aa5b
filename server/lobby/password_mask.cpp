#include "server/lobby/password_mask.h"

namespace lobby {

namespace {

// text with the field that starts after the separator at start and ends at the next
// separator (or the end) written as kMaskedPassword.
std::string MaskFieldAfter(std::string_view text, std::size_t start, char separator)
{
    const std::size_t end = text.find(separator, start + 1);
    std::string masked(text.substr(0, start + 1));
    masked += kMaskedPassword;
    if (end != std::string_view::npos)
        masked += text.substr(end);
    return masked;
}

} // namespace

std::string MaskRequestPassword(std::string_view request)
{
    const std::size_t bar = request.find('|');
    if (bar == std::string_view::npos)
        return std::string(request);
    return MaskFieldAfter(request, bar, '|');
}

std::string MaskRegistryLinePassword(std::string_view line)
{
    const std::size_t first = line.find(',');
    const std::size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
    if (second == std::string_view::npos || line.find(',', second + 1) == std::string_view::npos)
        return std::string(line);
    return MaskFieldAfter(line, second, ',');
}

} // namespace lobby
