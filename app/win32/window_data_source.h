#pragma once

#include <string>

namespace lobby::win32 {

// What the window is told when the data behind it changes. Called on the loop's thread, the
// window's own, so the window repaints on the spot.
class WindowDataObserver {
public:
    virtual ~WindowDataObserver() = default;
    virtual void RowCountChanged() = 0;
    // Any cell of data rows firstRow..lastRow (0 = the first row under the header) changed.
    virtual void RowsChanged(int firstRow, int lastRow) = 0;
    virtual void HeaderChanged() = 0;
    virtual void MemoChanged() = 0;
};

// What the native window shows, read on demand: the window asks only for the rows and lines
// on screen, so a million rows cost nothing to show. Texts are the lobby's own 8-bit bytes
// (Windows-1252); the window converts them for display. The lobby's form is wired to the
// window through this, so the window knows nothing of the registry's storage.
class WindowDataSource {
public:
    virtual ~WindowDataSource() = default;

    virtual int ColumnCount() const = 0;
    virtual std::string HeaderText(int column) const = 0;
    // Data rows, the header row not counted.
    virtual int RowCount() const = 0;
    virtual std::string CellText(int row, int column) const = 0;
    // Online players stand out at a glance.
    virtual bool IsRowHighlighted(int row) const = 0;

    virtual int MemoLineCount() const = 0;
    virtual std::string MemoLine(int line) const = 0;

    // The status line under the grid (players online and registered, the last save), read
    // again every second: a save ends away from the window and tells it nothing.
    virtual std::string StatusText() const = 0;

    // One observer at a time; nullptr stops the notifications.
    virtual void SetObserver(WindowDataObserver* observer) = 0;
};

} // namespace lobby::win32
