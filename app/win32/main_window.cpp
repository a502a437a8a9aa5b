#include "app/win32/main_window.h"

#include <commctrl.h>
#include <stdexcept>

namespace lobby::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"TForm1";
constexpr int kColumnWidths[] = {17, 139, 97, 155, 49, 22};
constexpr int kColumnWidthCount = sizeof kColumnWidths / sizeof kColumnWidths[0];
constexpr int kMemoHeight = 60;
constexpr int kStatusHeight = 18;
constexpr UINT_PTR kGridId = 1;
constexpr UINT_PTR kMemoId = 2;
constexpr UINT_PTR kStatusId = 3;
constexpr UINT_PTR kStatusTimer = 1;
constexpr UINT kStatusRefreshMs = 1000;
const COLORREF kOnlineBackground = RGB(0xE3, 0xF2, 0xE0);

void RegisterWindowClass(HINSTANCE instance, WNDPROC procedure)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hIcon = ::LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    // Registered once a process; a second window finds it there.
    if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw std::runtime_error("Cannot register the window class");
}

HWND MakeListView(HWND parent, HINSTANCE instance, UINT_PTR id, DWORD style)
{
    HWND view = ::CreateWindowExW(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                                  WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | style,
                                  0, 0, 0, 0, parent, reinterpret_cast<HMENU>(id), instance, nullptr);
    if (view == nullptr)
        throw std::runtime_error("Cannot create the list view");
    ListView_SetExtendedListViewStyle(view, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    return view;
}

} // namespace

std::wstring FromCp1252(const std::string& bytes)
{
    if (bytes.empty())
        return {};
    const int size = static_cast<int>(bytes.size());
    const int length = ::MultiByteToWideChar(1252, 0, bytes.data(), size, nullptr, 0);
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(1252, 0, bytes.data(), size, text.data(), length);
    return text;
}

MainWindow::MainWindow(HINSTANCE instance, WindowDataSource& source) : instance_(instance), source_(source)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
    ::InitCommonControlsEx(&controls);
    RegisterWindowClass(instance_, &MainWindow::WindowProc);

    // The size the operators know is the client area's; the frame is added around it.
    RECT frame{0, 0, 519, 204};
    ::AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
    // The children are left out of the frame's own painting: a resize would otherwise paint
    // the background over the status line and the memo after they drew themselves.
    window_ = ::CreateWindowExW(0, kWindowClass, kCaption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 196, 107,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                instance_, this);
    if (window_ == nullptr)
        throw std::runtime_error("Cannot create the window");
    source_.SetObserver(this);
}

MainWindow::~MainWindow()
{
    source_.SetObserver(nullptr);
    if (window_ != nullptr)
        ::DestroyWindow(window_);
    if (font_ != nullptr)
        ::DeleteObject(font_);
}

void MainWindow::Show(int showCommand)
{
    ::ShowWindow(window_, showCommand);
    ::UpdateWindow(window_);
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // The object rides in with WM_NCCREATE and is kept in the window's user data.
    if (message == WM_NCCREATE) {
        auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr)
        return ::DefWindowProcW(window, message, wParam, lParam);
    return self->HandleMessage(message, wParam, lParam);
}

LRESULT MainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        CreateChildren();
        return 0;
    case WM_SIZE:
        Layout(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_TIMER:
        if (wParam == kStatusTimer)
            RefreshStatus();
        return 0;
    case WM_NOTIFY:
        return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_CLOSE:
        if (OnClose) {
            OnClose();
            return 0;
        }
        ::DestroyWindow(window_);
        return 0;
    case WM_NCDESTROY:
        // Messages after this one find no object: the window is gone.
        ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
        window_ = grid_ = memo_ = status_ = nullptr;
        return 0;
    default:
        return ::DefWindowProcW(window_, message, wParam, lParam);
    }
}

void MainWindow::CreateChildren()
{
    // Arial at 8 points, as the grid has always been drawn.
    HDC screen = ::GetDC(nullptr);
    const int height = -::MulDiv(8, ::GetDeviceCaps(screen, LOGPIXELSY), 72);
    ::ReleaseDC(nullptr, screen);
    font_ = ::CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                          CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Arial");

    grid_ = MakeListView(window_, instance_, kGridId, LVS_SHOWSELALWAYS);
    ::SetWindowTextW(grid_, L"Cad");
    ::SendMessageW(grid_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    for (int column = 0; column < source_.ColumnCount(); ++column) {
        LVCOLUMNW columnInfo{};
        columnInfo.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        columnInfo.cx = column < kColumnWidthCount ? kColumnWidths[column] : 64;
        columnInfo.pszText = const_cast<wchar_t*>(L"");
        columnInfo.iSubItem = column;
        ListView_InsertColumn(grid_, column, &columnInfo);
    }
    SetHeaderTexts();
    ListView_SetItemCountEx(grid_, source_.RowCount(), LVSICF_NOINVALIDATEALL);

    // The memo: one column as wide as the view, no header, read only.
    memo_ = MakeListView(window_, instance_, kMemoId, LVS_NOCOLUMNHEADER | LVS_SINGLESEL);
    ListView_SetExtendedListViewStyle(memo_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    ::SetWindowTextW(memo_, L"Memo1");
    LVCOLUMNW line{};
    line.mask = LVCF_WIDTH;
    line.cx = 4096;
    ListView_InsertColumn(memo_, 0, &line);
    ListView_SetItemCountEx(memo_, source_.MemoLineCount(), LVSICF_NOINVALIDATEALL);

    // The status line: plain text, cut with an ellipsis when the window is narrow.
    status_ = ::CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS |
                                SS_CENTERIMAGE, 0, 0, 0, 0, window_, reinterpret_cast<HMENU>(kStatusId), instance_,
                                nullptr);
    if (status_ == nullptr)
        throw std::runtime_error("Cannot create the status line");
    ::SendMessageW(status_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    RefreshStatus();
    ::SetTimer(window_, kStatusTimer, kStatusRefreshMs, nullptr);
}

void MainWindow::Layout(int width, int height)
{
    // From the bottom up: the memo, the status line, and the grid in what is left.
    const int memoHeight = height > kMemoHeight ? kMemoHeight : height;
    const int statusHeight = height - memoHeight > kStatusHeight ? kStatusHeight : height - memoHeight;
    const int gridHeight = height - memoHeight - statusHeight;
    ::MoveWindow(grid_, 0, 0, width, gridHeight, TRUE);
    ::MoveWindow(status_, 4, gridHeight, width > 8 ? width - 8 : width, statusHeight, TRUE);
    ::MoveWindow(memo_, 0, height - memoHeight, width, memoHeight, TRUE);
    // A moved child may keep the picture it had at its old place; all of it is drawn anew.
    ::RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void MainWindow::RefreshStatus()
{
    std::wstring text = FromCp1252(source_.StatusText());
    if (status_ == nullptr || text == statusShown_)
        return;
    statusShown_ = std::move(text);
    ::SetWindowTextW(status_, statusShown_.c_str());
}

LRESULT MainWindow::OnNotify(const NMHDR& header)
{
    if (header.code == LVN_GETDISPINFOW) {
        FillDisplayInfo(*reinterpret_cast<NMLVDISPINFOW*>(const_cast<NMHDR*>(&header)));
        return 0;
    }
    if (header.code == NM_CUSTOMDRAW && header.hwndFrom == grid_)
        return PaintHighlight(*reinterpret_cast<NMLVCUSTOMDRAW*>(const_cast<NMHDR*>(&header)));
    return 0;
}

void MainWindow::FillDisplayInfo(NMLVDISPINFOW& info)
{
    if ((info.item.mask & LVIF_TEXT) == 0 || info.item.cchTextMax <= 0)
        return;
    const int row = info.item.iItem;
    if (info.hdr.hwndFrom == grid_)
        shown_ = row < source_.RowCount() ? FromCp1252(source_.CellText(row, info.item.iSubItem)) : std::wstring();
    else
        shown_ = row < source_.MemoLineCount() ? FromCp1252(source_.MemoLine(row)) : std::wstring();
    // The view copies at most cchTextMax characters; the rest of a longer cell is cut.
    const std::size_t room = static_cast<std::size_t>(info.item.cchTextMax) - 1;
    const std::size_t count = shown_.size() < room ? shown_.size() : room;
    shown_.copy(info.item.pszText, count);
    info.item.pszText[count] = L'\0';
}

LRESULT MainWindow::PaintHighlight(NMLVCUSTOMDRAW& draw) const
{
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
        const int row = static_cast<int>(draw.nmcd.dwItemSpec);
        if (row < source_.RowCount() && source_.IsRowHighlighted(row))
            draw.clrTextBk = kOnlineBackground;
        return CDRF_DODEFAULT;
    }
    default:
        return CDRF_DODEFAULT;
    }
}

void MainWindow::SetHeaderTexts()
{
    for (int column = 0; column < source_.ColumnCount(); ++column) {
        std::wstring text = FromCp1252(source_.HeaderText(column));
        LVCOLUMNW columnInfo{};
        columnInfo.mask = LVCF_TEXT;
        columnInfo.pszText = text.data();
        ListView_SetColumn(grid_, column, &columnInfo);
    }
}

void MainWindow::RowCountChanged()
{
    if (grid_ == nullptr)
        return;
    // The view keeps its scroll position; rows past the new end simply go.
    ListView_SetItemCountEx(grid_, source_.RowCount(), LVSICF_NOSCROLL);
}

void MainWindow::RowsChanged(int firstRow, int lastRow)
{
    if (grid_ == nullptr)
        return;
    const int top = ListView_GetTopIndex(grid_);
    const int bottom = top + ListView_GetCountPerPage(grid_);
    // Rows off screen are read again when they are scrolled to; nothing to redraw.
    if (lastRow < top || firstRow > bottom)
        return;
    ListView_RedrawItems(grid_, firstRow < top ? top : firstRow, lastRow > bottom ? bottom : lastRow);
}

void MainWindow::HeaderChanged()
{
    if (grid_ != nullptr)
        SetHeaderTexts();
}

void MainWindow::MemoChanged()
{
    if (memo_ == nullptr)
        return;
    ListView_SetItemCountEx(memo_, source_.MemoLineCount(), 0);
    ::InvalidateRect(memo_, nullptr, TRUE);
}

} // namespace lobby::win32
