#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lobby {

// A small file's whole content (a list the operator keeps, not the registry), or nothing
// when there is no such file. A symbolic link is not followed. Any other failure raises
// Exception "cannot read PATH: reason".
std::optional<std::string> ReadWholeFile(const std::string& path);

// The size of the file at path, or nothing when it cannot be looked at (none there).
std::optional<std::uint64_t> FileSize(const std::string& path);

} // namespace lobby
