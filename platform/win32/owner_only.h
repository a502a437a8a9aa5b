#pragma once

#include <string>

#include <windows.h>

namespace lobby::win32 {

// Security attributes that let in the user the program runs as and the system (LocalSystem,
// as root on Linux: backups and services run as it), nobody else, and take nothing from the
// folder above: the Windows form of the lobby's mode 0600 files, 0700 folders and its
// console socket. A folder's list is passed on to what is made in it later. Administrators
// are left out, as other users are: they can still take ownership, which the system records.
class OwnerOnly {
public:
    enum class Kind { File, Folder };
    // Throws WindowsError when the process's user cannot be read.
    explicit OwnerOnly(Kind kind = Kind::File);
    ~OwnerOnly();
    OwnerOnly(const OwnerOnly&) = delete;
    OwnerOnly& operator=(const OwnerOnly&) = delete;

    SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

    // The user the process runs as, as an SDDL SID ("S-1-5-21-...").
    static std::wstring UserSid();

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

} // namespace lobby::win32
