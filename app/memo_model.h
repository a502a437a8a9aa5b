#pragma once

#include <QAbstractListModel>

#include "server/lobby/memo.h"

namespace lobby {

// The memo's text as a list of lines for a view. A saved registry of a million players is
// a 40 MB text; a list view over its line offsets shows it at once, where a text editor
// would lay out every line first. With maskPasswords each player line's password shows as
// "***" (the memo holds the registry file's text, header line first).
class MemoModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit MemoModel(TMemo& memo, QObject* parent = nullptr, bool maskPasswords = false);
    ~MemoModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    void Reload();

    TMemo& memo_;
    bool maskPasswords_;
};

} // namespace lobby
