#include "app/memo_model.h"

#include "app/cp1252.h"

MemoModel::MemoModel(TMemo& memo, QObject* parent) : QAbstractListModel(parent), memo_(memo)
{
    memo_.OnChange = [this] { Reload(); };
    Reload();
}

MemoModel::~MemoModel()
{
    memo_.OnChange = nullptr;
}

int MemoModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(lineStarts_.size());
}

QVariant MemoModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole)
        return {};
    const std::string& text = memo_.Text();
    const std::size_t start = lineStarts_[static_cast<std::size_t>(index.row())];
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos)
        end = text.size();
    return FromCp1252(std::string_view(text).substr(start, end - start));
}

void MemoModel::Reload()
{
    beginResetModel();
    lineStarts_.clear();
    const std::string& text = memo_.Text();
    std::size_t pos = 0;
    while (pos < text.size()) {
        lineStarts_.push_back(pos);
        const std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos)
            break;
        pos = end + 1;
        if (text[end] == '\r' && pos < text.size() && text[pos] == '\n')
            ++pos;
    }
    endResetModel();
}
