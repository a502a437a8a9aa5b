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

} // namespace

void WriteErrorLine(std::string_view text)
{
    std::string line;
    line.reserve(text.size() + 1);
    line += text;
    line += '\n';
    WriteWhole(line);
}

void WriteErrorLine(std::string_view caption, std::string_view text)
{
    std::string line;
    line.reserve(caption.size() + text.size() + 3);
    line += caption;
    line += ": ";
    line += text;
    line += '\n';
    WriteWhole(line);
}

} // namespace lobby
