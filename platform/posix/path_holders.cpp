#include "platform/posix/path_holders.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lobby::posix {

namespace {

std::string ModeText(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string Absolute(const std::string& path)
{
    if (!path.empty() && path.front() == '/')
        return path;
    char here[PATH_MAX];
    if (::getcwd(here, sizeof here) == nullptr)
        return "/" + path;
    return std::string(here) + "/" + path;
}

// Why the entry at prefix lets someone untrusted change the path, or nothing. missing is set
// when there is nothing at prefix (the rest of the path is not made yet).
std::optional<std::string> Check(const std::string& prefix, bool last, const std::vector<uid_t>& trusted,
                                 bool lastMayBeSticky, bool& missing)
{
    struct stat status {};
    if (::lstat(prefix.c_str(), &status) != 0) {
        missing = true;
        return std::nullopt;
    }
    if (std::find(trusted.begin(), trusted.end(), status.st_uid) == trusted.end())
        return prefix + " is owned by " + UserText(status.st_uid);
    if (!S_ISDIR(status.st_mode))
        return std::nullopt; // a link's own mode means nothing; what it leads to is walked too
    const bool othersWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool sticky = (status.st_mode & S_ISVTX) != 0;
    if (othersWrite && !(sticky && (!last || lastMayBeSticky)))
        return prefix + ", owned by " + UserText(status.st_uid) + ", can be written by other users (mode " +
               ModeText(status.st_mode) + ")";
    return std::nullopt;
}

std::optional<std::string> Walk(const std::string& path, const std::vector<uid_t>& trusted, bool lastMayBeSticky)
{
    std::vector<std::string> prefixes{"/"};
    for (std::size_t at = 0; at < path.size();) {
        const std::size_t slash = path.find('/', at);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        const std::string part = path.substr(at, end - at);
        if (!part.empty() && part != ".")
            prefixes.push_back((prefixes.size() == 1 ? "" : prefixes.back()) + "/" + part);
        at = end + 1;
    }
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
        bool missing = false;
        if (auto why = Check(prefixes[i], i + 1 == prefixes.size(), trusted, lastMayBeSticky, missing))
            return why;
        if (missing)
            break;
    }
    return std::nullopt;
}

} // namespace

std::string UserText(uid_t uid)
{
    passwd entry {};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
    return "uid " + std::to_string(uid);
}

std::optional<std::string> ForeignHold(const std::string& path, const std::vector<uid_t>& trusted, bool lastMayBeSticky)
{
    const std::string absolute = Absolute(path);
    if (auto why = Walk(absolute, trusted, lastMayBeSticky))
        return why;
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(absolute.c_str(), nullptr), &std::free);
    if (!resolved || absolute == resolved.get())
        return std::nullopt;
    return Walk(resolved.get(), trusted, lastMayBeSticky);
}

} // namespace lobby::posix
