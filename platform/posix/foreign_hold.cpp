#include "platform/foreign_hold.h"

#include <unistd.h>

#include "platform/exception.h"
#include "platform/posix/path_holders.h"

namespace lobby {

namespace {

std::string FolderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

void RefuseForeignDataFolder(const std::string& path)
{
    // The folder itself takes no sticky bit as an excuse: others could still make files in it
    // under the names the lobby is about to use.
    const auto why = posix::ForeignHold(path, {::geteuid(), 0}, false);
    if (why)
        throw Exception("the data folder " + path + " is not the lobby's alone: " + *why +
                        ", who could replace its files; the server does not start (chown the folder to the "
                        "lobby's user and chmod go-w it, or --dir names another)");
}

void RefuseForeignControlPath(const std::string& path)
{
    const auto why = posix::ForeignHold(FolderOf(path), {::geteuid(), 0}, true);
    if (why)
        throw Exception("the control socket " + path + " is not the lobby's alone: " + *why +
                        ", who could put a socket of theirs in its place; the server does not start "
                        "(--control names another)");
}

} // namespace lobby
