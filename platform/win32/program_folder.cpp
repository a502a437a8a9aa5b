#include "platform/program_folder.h"

#include <windows.h>

#include "platform/win32/windows_error.h"

namespace lobby {

std::string ProgramFolder()
{
    // Paths may be longer than MAX_PATH; the buffer grows until the name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return "./";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    // Windows takes "/" as well as "\\"; the lobby appends its file names with "/".
    const std::string program = win32::Narrow(path, CP_UTF8);
    return program.substr(0, program.find_last_of("\\/") + 1);
}

} // namespace lobby
