#include "server/console/console_protocol.h"

#include <cstdio>

namespace lobby::console_protocol {

namespace {

constexpr std::string_view kOk = "ok\n";
constexpr std::string_view kError = "error\n";

} // namespace

std::string RequestLine(const std::vector<std::string>& words)
{
    std::string line;
    for (const std::string& word : words) {
        if (&word != &words.front())
            line += '\t';
        for (const char c : word) {
            switch (c) {
            case '\\': line += "\\\\"; break;
            case '\t': line += "\\t"; break;
            case '\n': line += "\\n"; break;
            case '\r': line += "\\r"; break;
            default: line += c;
            }
        }
    }
    return line + '\n';
}

std::vector<std::string> RequestWords(std::string_view line)
{
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            words.emplace_back();
            continue;
        }
        if (c != '\\' || i + 1 == line.size()) {
            words.back() += c;
            continue;
        }
        switch (line[++i]) {
        case '\\': words.back() += '\\'; break;
        case 't': words.back() += '\t'; break;
        case 'n': words.back() += '\n'; break;
        case 'r': words.back() += '\r'; break;
        default: words.back() += '\\', words.back() += line[i];
        }
    }
    if (words.size() == 1 && words.front().empty())
        words.clear();
    return words;
}

std::string AnswerText(bool ok, std::string_view body)
{
    std::string text(ok ? kOk : kError);
    text += body;
    return text;
}

std::optional<Answer> ReadAnswer(std::string_view text)
{
    for (const auto& [status, ok] : {std::pair{kOk, true}, std::pair{kError, false}}) {
        if (text.substr(0, status.size()) == status)
            return Answer{ok, std::string(text.substr(status.size()))};
    }
    return std::nullopt;
}

std::string JsonText(std::string_view utf8)
{
    std::string out = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", byte);
            out += escape;
            continue;
        }
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace lobby::console_protocol
