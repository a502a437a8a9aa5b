#pragma once

#include <string>

namespace lobby {

class TForm1;
struct SaveRecord;

// The line under the window's grid, the same on both systems: how many players are online
// and registered, and when the registry last reached the disk and whether it did, e.g.
// "2 online, 1000 registered; last save 2026-12-08 14:03:22, ok". A failed save says so and
// why, so the operator who glances at the window sees that scores are not on disk. Reads the
// form only; called on the loop's thread.
std::string WindowStatusText(const TForm1& form);

// The last-save part alone ("last save ..., ok", "no save yet").
std::string LastSaveText(const SaveRecord& save);

} // namespace lobby
