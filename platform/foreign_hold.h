#pragma once

#include <string>

namespace lobby {

// Whether anyone but the lobby's own user and the system's (root; on Windows SYSTEM and the
// Administrators) could put files of theirs where the lobby keeps its own, or put another
// folder or socket in their place: the passwords would be theirs to read, and the console
// theirs to answer. One implementation per system.

// Raises Exception, one line naming the folder at fault and its owner, when someone else
// could write into the data folder at path (made already), or replace it or a folder above it.
void RefuseForeignDataFolder(const std::string& path);

// Raises Exception likewise when someone else could replace the control socket at path: its
// folder, or a folder above it, is theirs or open to them.
void RefuseForeignControlPath(const std::string& path);

} // namespace lobby
