// lobby-window-probe: what another program's window holds, as Windows sees it, for the
// window's test under Xvfb. Waits up to 30 s for the server's window, prints its caption and,
// for each child, its class, name, whether it shows and how many items it holds; with
// --close, asks the window to close as the operator's click does and waits for it to go.
//   lobby-window-probe [--close]
// Exit 1 when no such window shows (or it does not go).
#include <cstdio>
#include <cstring>
#include <cwchar>

#include <windows.h>
#include <commctrl.h>

namespace {

constexpr wchar_t kCaption[] = L"Servidor para jogos Multiplayer - KIVO online";

BOOL CALLBACK PrintChild(HWND child, LPARAM)
{
    wchar_t name[64] = {};
    wchar_t className[64] = {};
    ::GetWindowTextW(child, name, 64);
    ::GetClassNameW(child, className, 64);
    if (std::wcscmp(className, WC_LISTVIEWW) == 0)
        std::printf("  %ls %ls visible=%d items=%d\n", className, name, ::IsWindowVisible(child) ? 1 : 0,
                    ListView_GetItemCount(child));
    return TRUE;
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
    const bool close = argc > 1 && std::strcmp(argv[1], "--close") == 0;
    HWND window = WaitForWindow();
    if (window == nullptr) {
        std::printf("no window captioned \"%ls\"\n", kCaption);
        return 1;
    }
    wchar_t caption[128] = {};
    ::GetWindowTextW(window, caption, 128);
    std::printf("window \"%ls\"\n", caption);
    ::EnumChildWindows(window, PrintChild, 0);
    if (!close)
        return 0;
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    for (int i = 0; i < 300 && ::IsWindow(window); ++i)
        ::Sleep(100);
    std::printf(::IsWindow(window) ? "still open\n" : "closed\n");
    return ::IsWindow(window) ? 1 : 0;
}
