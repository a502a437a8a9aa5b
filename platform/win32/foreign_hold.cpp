#include "platform/foreign_hold.h"

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>

#include "platform/exception.h"
#include "platform/win32/owner_only.h"
#include "platform/win32/windows_error.h"

namespace lobby {

using namespace win32;

namespace {

// What lets a user put files in a folder, take them out or change who may.
constexpr ACCESS_MASK kChanging = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                  DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text))
        return L"?";
    std::wstring result = text;
    ::LocalFree(text);
    return result;
}

// The lobby's user, SYSTEM, the Administrators (who own what they make by default and can take
// anything anyway) and the owner's placeholder of inherited entries.
bool Trusted(PSID sid)
{
    const std::wstring text = SidText(sid);
    return text == OwnerOnly::UserSid() || text == L"S-1-5-18" || text == L"S-1-5-32-544" || text == L"S-1-3-0";
}

// "DOMAIN\name (S-1-...)", or the SID alone for an account without a name.
std::string AccountText(PSID sid)
{
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use;
    const std::string sidText = Narrow(SidText(sid), CP_UTF8);
    if (!::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return sidText;
    return Narrow(std::wstring(domain) + L"\\" + name, CP_UTF8) + " (" + sidText + ")";
}

// Why someone else could change the folder, or empty. Only the folder itself is looked at:
// on Windows who may rename it is a matter of its own list (DELETE) as much as its parent's.
std::string ForeignHold(const std::string& path)
{
    PSID owner = nullptr;
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetNamedSecurityInfoW(Widen(path, CP_UTF8).c_str(), SE_FILE_OBJECT,
                                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                                nullptr, &acl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return "its owner cannot be read: " + SystemMessage(error);
    std::string why;
    if (owner != nullptr && !Trusted(owner)) {
        why = "it is owned by " + AccountText(owner);
    } else if (acl == nullptr) {
        why = "it has no access list, so everybody may write to it";
    } else {
        for (DWORD i = 0; i < acl->AceCount && why.empty(); ++i) {
            ACE_HEADER* header = nullptr;
            if (!::GetAce(acl, i, reinterpret_cast<void**>(&header)) || header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
                (header->AceFlags & INHERIT_ONLY_ACE) != 0)
                continue;
            auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
            const PSID sid = reinterpret_cast<PSID>(&ace->SidStart);
            if ((ace->Mask & kChanging) != 0 && !Trusted(sid))
                why = AccountText(sid) + " may write to it";
        }
    }
    ::LocalFree(descriptor);
    return why;
}

} // namespace

void RefuseForeignDataFolder(const std::string& path)
{
    const std::string why = ForeignHold(path);
    if (!why.empty())
        throw Exception("the data folder " + path + " is not the lobby's alone: " + why +
                        ", who could replace its files; the server does not start (give it to the lobby's user "
                        "alone, or --dir names another)");
}

void RefuseForeignControlPath(const std::string&)
{
    // The console's pipe is no file: it is made as its first instance, open to the lobby's
    // user and SYSTEM alone, so nobody else can take its name while the lobby runs.
}

} // namespace lobby
