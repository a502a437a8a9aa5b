#include "platform/win32/owner_only.h"

#include <memory>
#include <sddl.h>

#include "platform/win32/windows_error.h"

namespace lobby::win32 {

namespace {

std::wstring ReadUserSid()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        throw WindowsError("Cannot read the program's user", ::GetLastError());
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    auto buffer = std::make_unique<unsigned char[]>(size);
    wchar_t* text = nullptr;
    const bool read = ::GetTokenInformation(token, TokenUser, buffer.get(), size, &size) &&
                      ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &text);
    const DWORD error = ::GetLastError();
    ::CloseHandle(token);
    if (!read)
        throw WindowsError("Cannot read the program's user", error);
    std::wstring sid = text;
    ::LocalFree(text);
    return sid;
}

} // namespace

std::wstring OwnerOnly::UserSid()
{
    // The process's user does not change while it runs; files are made at every save.
    static const std::wstring sid = ReadUserSid();
    return sid;
}

OwnerOnly::OwnerOnly(Kind kind)
{
    // P: protected, so nothing is inherited from the folder above; OICI: what a folder holds
    // takes the same list.
    const std::wstring inherit = kind == Kind::Folder ? L"OICI" : L"";
    const std::wstring sddl = L"D:P(A;" + inherit + L";FA;;;" + UserSid() + L")(A;" + inherit + L";FA;;;SY)";
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr))
        throw WindowsError("Cannot make the owner's access list", ::GetLastError());
    attributes_.lpSecurityDescriptor = descriptor_;
}

OwnerOnly::~OwnerOnly()
{
    ::LocalFree(descriptor_);
}

} // namespace lobby::win32
