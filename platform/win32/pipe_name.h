#pragma once

#include <string>

namespace lobby::win32 {

// The named pipe that stands for a console socket's path on Windows, where the console is a
// pipe and not a file: a name under \\.\pipe\ is taken as it is; any other path, made full
// (so "lobby.sock" and ".\lobby.sock" are one), becomes \\.\pipe\lobby-server/ and the path
// with its backslashes as slashes (a pipe's name takes no backslash after the prefix). The
// server and lobbyctl both go through this, so --dir DIR names one pipe on both sides.
// Raises Exception past the 256 characters a pipe's name takes.
std::wstring PipeNameFor(const std::string& path);

} // namespace lobby::win32
