#include "app/win32/error_box.h"

#include <thread>

#include <windows.h>

#include "app/win32/main_window.h"

namespace lobby::win32 {

void ErrorBox::Show(const std::string& caption, const std::string& text)
{
    const std::wstring wideCaption = FromCp1252(caption);
    const std::wstring wideText = FromCp1252(text);
    constexpr UINT kStyle = MB_OK | MB_ICONERROR | MB_SETFOREGROUND;
    if (!loopRunning_) {
        ::MessageBoxW(nullptr, wideText.c_str(), wideCaption.c_str(), kStyle);
        return;
    }
    // MessageBox runs a message loop of its own on the thread that calls it, so on a thread
    // of its own it holds up nobody. The box has no owner window (an owner on another thread
    // would tie the two threads' input together); it ends with the process at the latest.
    std::thread([wideCaption, wideText] { ::MessageBoxW(nullptr, wideText.c_str(), wideCaption.c_str(), kStyle); })
        .detach();
}

} // namespace lobby::win32
