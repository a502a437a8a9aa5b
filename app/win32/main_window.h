#pragma once

#include <functional>
#include <string>

#include <windows.h>
#include <commctrl.h>

#include "app/win32/window_data_source.h"

namespace lobby::win32 {

// The server's native Windows window: the registry grid Cad on top, the status line under it,
// the memo Memo1 below, with the caption, size and column widths of the window the operators
// know. The operator may resize it: the grid takes what the window gains or loses, the status
// line and the memo keep their height. Both are
// virtual list views (LVS_OWNERDATA): the window asks the source for the rows on screen
// only, so a million players, or a 40 MB memo holding the saved registry, show at once where
// a multi-line edit would lay out every line first. Views only: the source owns the data.
// Made, used and destroyed on the thread that runs the message loop.
class MainWindow : private WindowDataObserver {
public:
    static constexpr const wchar_t* kCaption = L"Servidor para jogos Multiplayer - KIVO online";

    MainWindow(HINSTANCE instance, WindowDataSource& source);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    void Show(int showCommand);
    HWND Handle() const { return window_; }
    HWND Grid() const { return grid_; }
    HWND Memo() const { return memo_; }
    HWND Status() const { return status_; }

    // The operator closed the window: the owner ends the loop, and the shut-down that
    // follows saves the registry, as closing the Qt window does. Without it the window
    // just goes.
    std::function<void()> OnClose;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateChildren();
    void Layout(int width, int height);
    LRESULT OnNotify(const NMHDR& header);
    void FillDisplayInfo(NMLVDISPINFOW& info);
    LRESULT PaintHighlight(NMLVCUSTOMDRAW& draw) const;
    void SetHeaderTexts();
    void RefreshStatus();

    void RowCountChanged() override;
    void RowsChanged(int firstRow, int lastRow) override;
    void HeaderChanged() override;
    void MemoChanged() override;

    HINSTANCE instance_;
    WindowDataSource& source_;
    HWND window_ = nullptr;
    HWND grid_ = nullptr;
    HWND memo_ = nullptr;
    HWND status_ = nullptr;
    HFONT font_ = nullptr;
    std::wstring statusShown_;
    // The text handed to a list view must outlive the notification that asked for it.
    std::wstring shown_;
};

// The lobby's 8-bit bytes (Windows-1252) as the window's UTF-16, whatever the system's code
// page: the protocol's text is Windows-1252 everywhere.
std::wstring FromCp1252(const std::string& bytes);

} // namespace lobby::win32
