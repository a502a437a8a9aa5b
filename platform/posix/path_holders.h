#pragma once

#include <optional>
#include <string>
#include <vector>
#include <sys/types.h>

namespace lobby::posix {

// Who could change what a path leads to. A folder's entries can be renamed, removed and made
// by whoever may write the folder (unless its sticky bit keeps them to their own entries),
// and anything can be changed by its owner: so a path is held by the trusted users only when
// every folder on the way to it, and every link on the way, belongs to one of them, and no
// folder on the way can be written by anyone else (the sticky bit excepted, which still lets
// others make new entries, so the last folder counts it only when lastMayBeSticky).
//
// Walks the path as written and, when links lead elsewhere, as resolved. Returns why it is
// not so ("/srv/lobby is owned by bob (uid 1001)", "/srv/lobby (owner root) can be written by
// other users (mode 0777)"), or nothing when it is so, or when the path does not exist yet.
std::optional<std::string> ForeignHold(const std::string& path, const std::vector<uid_t>& trusted, bool lastMayBeSticky);

// "bob (uid 1001)", or "uid 1001" for a user without a name.
std::string UserText(uid_t uid);

} // namespace lobby::posix
