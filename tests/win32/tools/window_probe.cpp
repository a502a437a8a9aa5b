// lobby-window-probe: what another program's window holds, as Windows sees it, for the
// window's test under Xvfb. Waits up to 30 s for the server's window, prints its caption and,
// for each child, its class, name, whether it shows, how many items it holds (list views) or
// its text (the status line), and where it stands in the window; with --close, asks the
// window to close as the operator's click does and waits for it to go; with --resize W H,
// makes its inside W x H as the operator's drag does, then prints it.
// With --explorer-start PROGRAM [ARGUMENTS], starts PROGRAM with a console of its own, as a
// double-click in Explorer (or a shortcut) does, prints the caption and text of the box it
// shows, presses OK and prints its exit code.
//   lobby-window-probe [--close | --resize W H | --explorer-start PROGRAM [ARGUMENTS]]
// Exit 1 when no such window (or box) shows, or it does not go.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include <windows.h>
#include <commctrl.h>

namespace {

constexpr wchar_t kCaption[] = L"Servidor para jogos Multiplayer - KIVO online";

BOOL CALLBACK PrintChild(HWND child, LPARAM)
{
    wchar_t name[256] = {};
    wchar_t className[64] = {};
    ::GetWindowTextW(child, name, 256);
    ::GetClassNameW(child, className, 64);
    RECT place{};
    ::GetWindowRect(child, &place);
    ::MapWindowPoints(HWND_DESKTOP, ::GetParent(child), reinterpret_cast<POINT*>(&place), 2);
    if (std::wcscmp(className, WC_LISTVIEWW) == 0)
        std::printf("  %ls %ls visible=%d items=%d top=%ld height=%ld\n", className, name,
                    ::IsWindowVisible(child) ? 1 : 0, ListView_GetItemCount(child), place.top, place.bottom - place.top);
    else if (std::wcscmp(className, L"Static") == 0)
        std::printf("  Static visible=%d text=\"%ls\" top=%ld height=%ld\n", ::IsWindowVisible(child) ? 1 : 0, name,
                    place.top, place.bottom - place.top);
    return TRUE;
}

// The message box a process shows: a dialog window of that process.
struct BoxSearch {
    DWORD process;
    HWND box;
};

BOOL CALLBACK FindBox(HWND window, LPARAM lParam)
{
    auto* search = reinterpret_cast<BoxSearch*>(lParam);
    DWORD process = 0;
    wchar_t className[16] = {};
    ::GetWindowThreadProcessId(window, &process);
    ::GetClassNameW(window, className, 16);
    if (process != search->process || std::wcscmp(className, L"#32770") != 0 || !::IsWindowVisible(window))
        return TRUE;
    search->box = window;
    return FALSE;
}

// Starts program (words[0], its arguments after it) as Explorer does, finds its box within
// 60 s, reads it, presses OK.
int ExplorerStart(wchar_t** words, int count)
{
    const wchar_t* program = words[0];
    std::wstring line = L"\"" + std::wstring(program) + L"\"";
    for (int i = 1; i < count; ++i)
        line += L" \"" + std::wstring(words[i]) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(program, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                          &startup, &started)) {
        std::printf("cannot start: error %lu\n", ::GetLastError());
        return 1;
    }
    BoxSearch search{started.dwProcessId, nullptr};
    for (int i = 0; i < 600 && search.box == nullptr; ++i) {
        ::EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.box == nullptr && ::WaitForSingleObject(started.hProcess, 100) == WAIT_OBJECT_0)
            break;
    }
    if (search.box == nullptr) {
        std::printf("no box shown\n");
        ::TerminateProcess(started.hProcess, 99);
        return 1;
    }
    wchar_t caption[128] = {};
    static wchar_t text[4096] = {};
    ::GetWindowTextW(search.box, caption, 128);
    ::GetDlgItemTextW(search.box, 0xFFFF, text, 4096); // the message's static control
    std::printf("box \"%ls\"\n%ls\n", caption, text);
    ::PostMessageW(search.box, WM_COMMAND, IDOK, 0);
    DWORD exitCode = 0;
    if (::WaitForSingleObject(started.hProcess, 60000) != WAIT_OBJECT_0) {
        std::printf("still running after OK\n");
        ::TerminateProcess(started.hProcess, 99);
        return 1;
    }
    ::GetExitCodeProcess(started.hProcess, &exitCode);
    std::printf("exit %lu\n", exitCode);
    return 0;
}

HWND WaitForWindow()
{
    for (int i = 0; i < 300; ++i) {
        if (HWND window = ::FindWindowW(L"TForm1", kCaption))
            return window;
        ::Sleep(100);
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--explorer-start") == 0) {
        int count = 0;
        wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
        return count > 2 ? ExplorerStart(words + 2, count - 2) : 1;
    }
    const bool close = argc > 1 && std::strcmp(argv[1], "--close") == 0;
    HWND window = WaitForWindow();
    if (window == nullptr) {
        std::printf("no window captioned \"%ls\"\n", kCaption);
        return 1;
    }
    wchar_t caption[128] = {};
    ::GetWindowTextW(window, caption, 128);
    std::printf("window \"%ls\"\n", caption);
    if (argc > 3 && std::strcmp(argv[1], "--resize") == 0) {
        RECT frame{0, 0, std::atoi(argv[2]), std::atoi(argv[3])};
        ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrW(window, GWL_STYLE)), FALSE, 0);
        ::SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT inside{};
    ::GetClientRect(window, &inside);
    std::printf("inside %ldx%ld\n", inside.right, inside.bottom);
    ::EnumChildWindows(window, PrintChild, 0);
    if (!close)
        return 0;
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    for (int i = 0; i < 300 && ::IsWindow(window); ++i)
        ::Sleep(100);
    std::printf(::IsWindow(window) ? "still open\n" : "closed\n");
    return ::IsWindow(window) ? 1 : 0;
}
