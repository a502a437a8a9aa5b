#include "app/memo_model.h"

#include "app/cp1252.h"
#include "server/lobby/password_mask.h"

namespace lobby {

MemoModel::MemoModel(TMemo& memo, QObject* parent, bool maskPasswords)
    : QAbstractListModel(parent), memo_(memo), maskPasswords_(maskPasswords)
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
    return parent.isValid() ? 0 : static_cast<int>(memo_.LineStarts().size());
}

QVariant MemoModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole)
        return {};
    const std::string& text = memo_.Text();
    const std::size_t start = memo_.LineStarts()[static_cast<std::size_t>(index.row())];
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos)
        end = text.size();
    const std::string_view line = std::string_view(text).substr(start, end - start);
    if (maskPasswords_ && index.row() > 0)
        return FromCp1252(MaskRegistryLinePassword(line));
    return FromCp1252(line);
}

void MemoModel::Reload()
{
    // The line starts come with the text, so a million-line memo is taken at once.
    beginResetModel();
    endResetModel();
}

} // namespace lobby
