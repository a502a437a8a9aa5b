#include "app/win32/form_data_source.h"

#include <algorithm>

#include "app/window_status.h"
#include "server/lobby/form1.h"
#include "server/lobby/password_mask.h"

namespace lobby::win32 {

FormDataSource::FormDataSource(TForm1& form)
    : form_(form), registry_(form.Cad), memo_(form.Memo1), maskPasswords_(form.MasksPasswords())
{
    registry_.SetObserver(this);
    memo_.OnChange = [this] {
        if (observer_ != nullptr)
            observer_->MemoChanged();
    };
}

FormDataSource::~FormDataSource()
{
    registry_.SetObserver(nullptr);
    memo_.OnChange = nullptr;
}

std::string FormDataSource::HeaderText(int column) const
{
    return registry_.FixedRows() > 0 ? std::string(registry_.Cell(column, 0)) : std::string();
}

int FormDataSource::RowCount() const
{
    return std::max(registry_.RowCount() - registry_.FixedRows(), 0);
}

std::string FormDataSource::CellText(int row, int column) const
{
    const int tableRow = row + registry_.FixedRows();
    if (maskPasswords_ && tableRow >= 1 && column == Registry::kPassword)
        return std::string(kMaskedPassword);
    return std::string(registry_.Cell(column, tableRow));
}

bool FormDataSource::IsRowHighlighted(int row) const
{
    const int tableRow = row + registry_.FixedRows();
    return tableRow >= 1 && registry_.IsOnline(tableRow);
}

int FormDataSource::MemoLineCount() const
{
    return static_cast<int>(memo_.LineStarts().size());
}

std::string FormDataSource::MemoLine(int line) const
{
    const std::string& text = memo_.Text();
    const std::size_t start = memo_.LineStarts()[static_cast<std::size_t>(line)];
    const std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    const std::string_view shown = std::string_view(text).substr(start, end - start);
    if (maskPasswords_ && line > 0)
        return MaskRegistryLinePassword(shown);
    return std::string(shown);
}

std::string FormDataSource::StatusText() const
{
    return WindowStatusText(form_);
}

// The header row comes and goes with the count (a table of one row has no fixed row), so
// the header is told too.
void FormDataSource::RowCountChanged(int, int)
{
    if (observer_ == nullptr)
        return;
    observer_->HeaderChanged();
    observer_->RowCountChanged();
}

void FormDataSource::RowsChanged(int firstRow, int lastRow)
{
    if (observer_ == nullptr)
        return;
    const int fixed = registry_.FixedRows();
    if (firstRow < fixed)
        observer_->HeaderChanged();
    const int first = std::max(firstRow - fixed, 0);
    const int last = lastRow - fixed;
    if (first <= last)
        observer_->RowsChanged(first, last);
}

} // namespace lobby::win32
