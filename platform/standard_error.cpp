#include "platform/standard_error.h"

#include <cstdio>
#include <string>

namespace lobby {

namespace {

void WriteWhole(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// Asked once: standard error does not change where it goes while the process runs.
bool ToJournal()
{
    static const bool journal = StandardErrorIsJournal();
    return journal;
}

} // namespace

std::string PrioritizedLine(bool toJournal, LinePriority priority, std::string_view caption, std::string_view text)
{
    std::string line;
    line.reserve(caption.size() + text.size() + 6);
    if (toJournal) {
        line += '<';
        line += static_cast<char>('0' + static_cast<int>(priority));
        line += '>';
    }
    if (!caption.empty()) {
        line += caption;
        line += ": ";
    }
    line += text;
    line += '\n';
    return line;
}

void WriteErrorLine(std::string_view text)
{
    WriteWhole(PrioritizedLine(ToJournal(), LinePriority::kWarning, {}, text));
}

void WriteErrorLine(std::string_view caption, std::string_view text)
{
    WriteErrorLine(LinePriority::kWarning, caption, text);
}

void WriteErrorLine(LinePriority priority, std::string_view caption, std::string_view text)
{
    WriteWhole(PrioritizedLine(ToJournal(), priority, caption, text));
}

} // namespace lobby
