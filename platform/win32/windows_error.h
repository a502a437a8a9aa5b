#pragma once

#include <stdexcept>
#include <string>

#include <windows.h>

namespace lobby::win32 {

// A failed Windows call: what was being done, and the system's reason. The text reads as the
// POSIX layer's do ("Cannot replace cadastro.txt: Access is denied"), so the operator is told
// the same way on both systems.
class WindowsError : public std::runtime_error {
public:
    WindowsError(const std::string& what, DWORD code);
    DWORD Code() const noexcept { return code_; }

private:
    DWORD code_;
};

// The system's wording for an error code, without the line end and final full stop Windows
// puts after it; "Unknown Error No. " and the number when the system has none.
std::string SystemMessage(DWORD code);

// UTF-16 text as bytes of a code page (1252 for the lobby's own texts), and back.
std::string Narrow(const std::wstring& wide, UINT codePage);
std::wstring Widen(const std::string& bytes, UINT codePage);

} // namespace lobby::win32
