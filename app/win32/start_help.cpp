#include "app/win32/start_help.h"

#include <windows.h>

#include "app/win32/main_window.h"
#include "platform/program_folder.h"
#include "platform/win32/windows_error.h"

namespace lobby::win32 {

bool HasConsoleOfItsOwn()
{
    DWORD processes[2];
    return ::GetConsoleWindow() != nullptr && ::GetConsoleProcessList(processes, 2) == 1;
}

std::string StartHelpText(const std::string& programFolder)
{
    return "The lobby did not start: lobby-server.exe needs the access word as its first argument, "
           "and it was started without any. Nothing was written.\n\n"
           "To start the lobby, double-click \"" + std::string(kStartScriptName) + "\" in " + programFolder +
           ": it passes the access word and keeps the lobby's files in the folder data beside it, "
           "where lobbyctl.exe finds the lobby without --dir.\n\n"
           "From a command prompt: lobby-server.exe WORD --dir FOLDER. The lobby keeps its player registry "
           "(cadastro.txt), its daily traffic logs and its bans (bans.txt) in FOLDER, or beside "
           "lobby-server.exe when --dir is not given. lobby-server.exe --help lists the options.\n\n"
           "Players reach the lobby on UDP port 12001; README.md tells the rest.";
}

void ShowStartHelp(const std::string& caption)
{
    const std::wstring text = Widen(StartHelpText(ProgramFolder()), CP_UTF8);
    const std::wstring wideCaption = FromCp1252(caption);
    ::MessageBoxW(nullptr, text.c_str(), wideCaption.c_str(), MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

} // namespace lobby::win32
