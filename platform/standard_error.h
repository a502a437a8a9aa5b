#pragma once

#include <string_view>

namespace lobby {

// The process's one writer of lines to standard error. A line goes out in one write and is
// flushed at once, so lines never run into each other and none waits in a buffer when the
// process ends (or is killed) right after.

// text and a line end.
void WriteErrorLine(std::string_view text);
// "caption: text" and a line end: how the operator is told where there is no window (and,
// in a window, what must not be lost should the box never come).
void WriteErrorLine(std::string_view caption, std::string_view text);

} // namespace lobby
