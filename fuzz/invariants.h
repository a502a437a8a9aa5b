#pragma once

// What every fuzz target checks after each input, beyond surviving it. A broken invariant
// prints what broke and aborts, which libFuzzer reports as a crash with the input saved.

#include <string>
#include <string_view>

#include "server/registry/registry.h"

namespace fuzz {

using namespace lobby;

// Prints "invariant broken: <what>" with the detail and aborts.
[[noreturn]] void Broken(std::string_view what, std::string_view detail = {});

inline void Check(bool holds, std::string_view what, std::string_view detail = {})
{
    if (!holds)
        Broken(what, detail);
}

// The registry saves to text whose every line ends in CR LF, one line a row, and reads back
// to the same cells (all but the presence marker, which is never saved); saving what was
// read gives the same text again; the online set agrees with the markers.
void CheckRegistryRoundTrip(const Registry& registry);

// Text written as lines (a log, a registry file): empty, or ending in CR LF.
void CheckEndsWithLineEnd(std::string_view text, std::string_view what);

// A folder of this process's own for files, on a memory file system when there is one.
// Ends with "/".
const std::string& ScratchFolder();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view bytes);

} // namespace fuzz
