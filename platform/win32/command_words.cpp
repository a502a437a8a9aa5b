#include "platform/command_words.h"

#include <windows.h>
#include <shellapi.h>

#include "platform/win32/windows_error.h"

namespace lobby {

std::vector<std::string> CommandWords(int, char**)
{
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::string> words;
    for (int i = 0; wide != nullptr && i < count; ++i)
        words.push_back(win32::Narrow(wide[i], CP_UTF8));
    ::LocalFree(wide);
    return words;
}

} // namespace lobby
