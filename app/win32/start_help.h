#pragma once

#include <string>

namespace lobby::win32 {

// The start script the zip carries beside lobby-server.exe.
constexpr const char* kStartScriptName = "Start lobby.cmd";

// Whether the program was started with a console of its own (from Explorer, the Start menu
// or a script's "start"), rather than from a console the operator keeps.
bool HasConsoleOfItsOwn();

// What a start without any argument from Explorer is told, in the program's folder's terms:
// that the access word is missing, how to start the lobby, where its files go. The program
// has then touched no file.
std::string StartHelpText(const std::string& programFolder);

// Shows StartHelpText in a box and waits for OK: the operator double-clicked the program and
// has no other place to read why nothing started.
void ShowStartHelp(const std::string& caption);

} // namespace lobby::win32
