#include "platform/win32/pipe_name.h"

#include <windows.h>

#include "platform/exception.h"
#include "platform/win32/windows_error.h"

namespace lobby::win32 {

namespace {

constexpr std::wstring_view kPipePrefix = L"\\\\.\\pipe\\";
constexpr std::size_t kMaxPipeName = 256;

} // namespace

std::wstring PipeNameFor(const std::string& path)
{
    const std::wstring wide = Widen(path, CP_UTF8);
    if (wide.rfind(kPipePrefix, 0) == 0 || wide.rfind(L"//./pipe/", 0) == 0)
        return std::wstring(kPipePrefix) + wide.substr(kPipePrefix.size());
    wchar_t full[1024];
    const DWORD length = ::GetFullPathNameW(wide.c_str(), 1024, full, nullptr);
    if (length == 0 || length >= 1024)
        throw Exception("The control pipe for " + path + " cannot be named: the path is not one Windows takes");
    std::wstring name = std::wstring(kPipePrefix) + L"lobby-server/" + std::wstring(full, length);
    for (std::size_t i = kPipePrefix.size(); i < name.size(); ++i) {
        if (name[i] == L'\\')
            name[i] = L'/';
    }
    if (name.size() > kMaxPipeName)
        throw Exception("The control pipe for " + path + " cannot be made: a pipe's name takes at most " +
                        std::to_string(kMaxPipeName) + " characters (--control PATH names another)");
    return name;
}

} // namespace lobby::win32
