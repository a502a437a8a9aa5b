// The integer rule (scores and reported points) against a second reading of the rule, done
// another way: by comparing digit strings, without arithmetic until the value is known to
// fit. Also: the conversion error quotes the whole text, and every value written back as
// text reads again as itself.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/invariants.h"
#include "platform/exception.h"
#include "server/registry/integer_text.h"

using namespace lobby;

namespace {

bool AllOf(std::string_view text, std::string_view set)
{
    return !text.empty() && text.find_first_not_of(set) == std::string_view::npos;
}

// The digits without their leading zeros ("0" for zeros only).
std::string_view Significant(std::string_view digits)
{
    const auto first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? digits.substr(digits.size() - 1) : digits.substr(first);
}

// a <= b for digit strings without leading zeros, of one base.
bool NotGreater(std::string_view a, std::string_view b, bool hex)
{
    if (a.size() != b.size())
        return a.size() < b.size();
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto value = [hex](char c) { return hex ? std::stoi(std::string(1, c), nullptr, 16) : c - '0'; };
        if (value(a[i]) != value(b[i]))
            return value(a[i]) < value(b[i]);
    }
    return true;
}

std::optional<std::int32_t> Reference(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    text.remove_prefix(std::min(text.size(), text.find_first_not_of(' ')));
    for (const std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
        if (text.substr(0, prefix.size()) != prefix)
            continue;
        const std::string_view digits = text.substr(prefix.size());
        if (!AllOf(digits, "0123456789abcdefABCDEF") || !NotGreater(Significant(digits), "FFFFFFFF", true))
            return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::stoul(std::string(digits), nullptr, 16)));
    }
    const bool negative = !text.empty() && text[0] == '-';
    const std::string_view digits = text.substr(!text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0);
    if (!AllOf(digits, "0123456789") || !NotGreater(Significant(digits), negative ? "2147483648" : "2147483647", false))
        return std::nullopt;
    return static_cast<std::int32_t>(std::stoll((negative ? "-" : "") + std::string(digits)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> value = TryStrToInt(text);
    const std::optional<std::int32_t> expected = Reference(text);
    fuzz::Check(value == expected, "the integer rule agrees with its second reading", text);
    try {
        const std::int32_t converted = StrToInt(text);
        fuzz::Check(value && converted == *value, "StrToInt converts what TryStrToInt reads");
    } catch (const EConvertError& error) {
        fuzz::Check(!value, "StrToInt refuses only what TryStrToInt refuses");
        fuzz::Check(error.Message() == "'" + std::string(text) + "' is not a valid integer value",
                    "the conversion error quotes the whole text", error.Message());
    }
    if (value) {
        const std::string written = IntToStr(*value);
        fuzz::Check(TryStrToInt(written) == value, "a score written back reads as itself", written);
        fuzz::Check(written.find_first_not_of("-0123456789") == std::string::npos && written[0] != '+',
                    "scores are written as plain decimals", written);
    }
    return 0;
}
