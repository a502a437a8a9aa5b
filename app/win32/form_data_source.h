#pragma once

#include "app/win32/window_data_source.h"
#include "server/registry/registry.h"

namespace lobby {
class TForm1;
class TMemo;
}

namespace lobby::win32 {

// The lobby's form as the native window reads it: the registry Cad as the grid, its fixed
// header row as the grid's header, the memo Memo1 a line a row. Cells are read on demand
// from the registry itself, as the Qt window's model does, and the registry's and the memo's
// changes are passed on to the window as they happen. Lives as long as the window over it.
// When the lobby masks passwords, the players' passwords read "***" in the grid and the memo.
class FormDataSource : public WindowDataSource, private RegistryObserver {
public:
    explicit FormDataSource(TForm1& form);
    ~FormDataSource() override;
    FormDataSource(const FormDataSource&) = delete;
    FormDataSource& operator=(const FormDataSource&) = delete;

    int ColumnCount() const override { return Registry::kColCount; }
    std::string HeaderText(int column) const override;
    int RowCount() const override;
    std::string CellText(int row, int column) const override;
    bool IsRowHighlighted(int row) const override;
    int MemoLineCount() const override;
    std::string MemoLine(int line) const override;
    std::string StatusText() const override;
    void SetObserver(WindowDataObserver* observer) override { observer_ = observer; }

private:
    void RowCountAboutToChange(int, int) override {}
    void RowCountChanged(int oldCount, int newCount) override;
    void RowsChanged(int firstRow, int lastRow) override;

    const TForm1& form_;
    Registry& registry_;
    TMemo& memo_;
    bool maskPasswords_;
    WindowDataObserver* observer_ = nullptr;
};

} // namespace lobby::win32
