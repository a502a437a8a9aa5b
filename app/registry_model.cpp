#include "app/registry_model.h"

#include <QBrush>
#include <QColor>

#include "app/cp1252.h"
#include "server/lobby/password_mask.h"

namespace lobby {

RegistryModel::RegistryModel(Registry& registry, QObject* parent, bool maskPasswords)
    : QAbstractTableModel(parent), registry_(registry), fixedRows_(registry.FixedRows()), maskPasswords_(maskPasswords)
{
    registry_.SetObserver(this);
}

RegistryModel::~RegistryModel()
{
    registry_.SetObserver(nullptr);
}

int RegistryModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : registry_.RowCount() - fixedRows_;
}

int RegistryModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : Registry::kColCount;
}

QVariant RegistryModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const int row = index.row() + fixedRows_;
    switch (role) {
    case Qt::DisplayRole:
        if (maskPasswords_ && row >= 1 && index.column() == Registry::kPassword)
            return FromCp1252(kMaskedPassword);
        return FromCp1252(registry_.Cell(index.column(), row));
    case Qt::BackgroundRole:
        // Online players stand out at a glance; the marker column says which kind.
        if (row >= 1 && registry_.IsOnline(row))
            return QBrush(QColor(0xE3, 0xF2, 0xE0));
        return {};
    default:
        return {};
    }
}

QVariant RegistryModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return fixedRows_ > 0 ? FromCp1252(registry_.Cell(section, 0)) : QString();
    return section + fixedRows_;
}

void RegistryModel::RowCountAboutToChange(int oldCount, int newCount)
{
    if (newCount > oldCount) {
        beginInsertRows(QModelIndex(), oldCount - fixedRows_, newCount - fixedRows_ - 1);
        pending_ = Pending::Insert;
    } else if (newCount - fixedRows_ < oldCount - fixedRows_) {
        const int first = std::max(0, newCount - fixedRows_);
        const int last = oldCount - fixedRows_ - 1;
        if (first <= last) {
            beginRemoveRows(QModelIndex(), first, last);
            pending_ = Pending::Remove;
        }
    }
}

void RegistryModel::RowCountChanged(int, int)
{
    if (pending_ == Pending::Insert)
        endInsertRows();
    else if (pending_ == Pending::Remove)
        endRemoveRows();
    pending_ = Pending::None;
    FollowFixedRows();
}

void RegistryModel::RowsChanged(int firstRow, int lastRow)
{
    FollowFixedRows();
    if (firstRow < fixedRows_)
        emit headerDataChanged(Qt::Horizontal, 0, Registry::kColCount - 1);
    const int first = std::max(firstRow - fixedRows_, 0);
    const int last = lastRow - fixedRows_;
    if (last < first)
        return;
    emit dataChanged(index(first, 0), index(last, Registry::kColCount - 1));
}

// The header row comes and goes with the table's fixed row count (a one-row table has none).
void RegistryModel::FollowFixedRows()
{
    if (registry_.FixedRows() == fixedRows_)
        return;
    beginResetModel();
    fixedRows_ = registry_.FixedRows();
    endResetModel();
}

} // namespace lobby
