#pragma once

#include <QAbstractTableModel>

#include "server/registry/registry.h"

namespace lobby {

// The registry table as a Qt model, so the grid is a view over the table itself: cells are
// read on demand for the rows on screen, with no item object per cell, and a million rows
// cost nothing to show. The fixed header row of the table becomes the view's header. With
// maskPasswords the players' passwords show as "***" (a window shown to others).
class RegistryModel : public QAbstractTableModel, private RegistryObserver {
    Q_OBJECT
public:
    explicit RegistryModel(Registry& registry, QObject* parent = nullptr, bool maskPasswords = false);
    ~RegistryModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void RowCountAboutToChange(int oldCount, int newCount) override;
    void RowCountChanged(int oldCount, int newCount) override;
    void RowsChanged(int firstRow, int lastRow) override;
    void FollowFixedRows();

    Registry& registry_;
    int fixedRows_; // the fixed row count the view last saw
    bool maskPasswords_;
    enum class Pending { None, Insert, Remove } pending_ = Pending::None;
};

} // namespace lobby
