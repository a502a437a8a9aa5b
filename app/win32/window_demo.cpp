// lobby-window-demo: the native window over a million made-up players, to see it and to test
// it without the server. The grid and the memo are filled on demand; one player's points go
// up every half second, as a live lobby's would. Prints the window's tree as Windows sees it
// (the controls, their item counts, the first row as the grid reads it) once shown, and
// "closed" when the window is closed.
//   lobby-window-demo [--rows N] [--seconds N] [--error]
//     --seconds N  closes the window itself after N seconds (tests)
//     --error      shows the error box once the loop runs; the loop goes on behind it
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>

#include "app/win32/error_box.h"
#include "app/win32/main_window.h"
#include "platform/win32/wait_loop.h"

using namespace lobby::win32;

namespace {

class MadeUpPlayers : public WindowDataSource {
public:
    explicit MadeUpPlayers(int rows) : rows_(rows) {}

    int ColumnCount() const override { return 6; }
    std::string HeaderText(int column) const override
    {
        static const char* const header[] = {"", "Nick", "Senha", "Ip", "Pontos", ""};
        return header[column];
    }
    int RowCount() const override { return rows_; }
    std::string CellText(int row, int column) const override
    {
        char text[32];
        switch (column) {
        case 0: return IsRowHighlighted(row) ? ">" : "";
        case 1: std::snprintf(text, sizeof text, "jogador%07d", row + 1); return text;
        case 2: return "senha";
        case 3: std::snprintf(text, sizeof text, "10.%d.%d.%d", row >> 16 & 255, row >> 8 & 255, row & 255); return text;
        case 4: return std::to_string(Points(row));
        default: return "";
        }
    }
    bool IsRowHighlighted(int row) const override { return row % 7 == 0; }
    // The memo holds the saved registry, a line a player, as the server's does after a save.
    int MemoLineCount() const override { return rows_ + 1; }
    std::string MemoLine(int line) const override
    {
        if (line == 0)
            return ",Nick,Senha,Ip,Pontos,";
        std::string text;
        for (int column = 0; column < 6; ++column) {
            if (column > 0)
                text += ',';
            text += CellText(line - 1, column);
        }
        return text;
    }
    void SetObserver(WindowDataObserver* observer) override { observer_ = observer; }

    void Score(int row)
    {
        ++bonus_;
        bonusRow_ = row;
        if (observer_ != nullptr)
            observer_->RowsChanged(row, row);
    }

private:
    long long Points(int row) const { return (row * 37LL) % 1000 + (row == bonusRow_ ? bonus_ : 0); }

    int rows_;
    int bonusRow_ = 0;
    long long bonus_ = 0;
    WindowDataObserver* observer_ = nullptr;
};

std::string ItemText(HWND view, int row, int column)
{
    wchar_t text[256] = {};
    ListView_GetItemText(view, row, column, text, 256);
    std::string bytes;
    for (const wchar_t* c = text; *c; ++c)
        bytes += *c < 128 ? static_cast<char>(*c) : '?';
    return bytes;
}

void PrintTree(const MainWindow& window)
{
    wchar_t caption[128] = {};
    ::GetWindowTextW(window.Handle(), caption, 128);
    std::printf("window \"%ls\"\n", caption);
    for (HWND view : {window.Grid(), window.Memo()}) {
        wchar_t name[32] = {};
        wchar_t className[64] = {};
        ::GetWindowTextW(view, name, 32);
        ::GetClassNameW(view, className, 64);
        RECT box;
        ::GetWindowRect(view, &box);
        std::printf("  %ls %ls visible=%d items=%d size=%ldx%ld first=\"%s\"\n", className, name,
                    ::IsWindowVisible(view) ? 1 : 0, ListView_GetItemCount(view), box.right - box.left,
                    box.bottom - box.top, (ItemText(view, 0, view == window.Grid() ? 1 : 0)).c_str());
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    int rows = 1000000;
    int seconds = 0;
    bool error = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rows") == 0 && i + 1 < argc)
            rows = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--error") == 0)
            error = true;
    }

    MadeUpPlayers players(rows);
    WaitLoop loop;
    ErrorBox box;
    MainWindow window(::GetModuleHandleW(nullptr), players);
    window.OnClose = [&] { loop.Quit(); };
    window.Show(SW_SHOWNORMAL);
    PrintTree(window);

    // The boxes are shown from the loop's first turn on, as the server shows them.
    box.SetLoopRunning(true);
    box.StartShowing();
    if (error)
        box.ShowError("Lobby-window-demo", "Made-up error: the lobby goes on behind this box.");
    int next = 0;
    loop.StartTimer(std::chrono::milliseconds(500), [&] { players.Score(next++ % 20); });
    if (seconds > 0)
        loop.StartTimer(std::chrono::seconds(seconds), [&] { ::PostMessageW(window.Handle(), WM_CLOSE, 0, 0); });
    loop.Run();
    std::printf("closed\n");
    return 0;
}
