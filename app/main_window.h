#pragma once

#include <QMainWindow>

class QTableView;
class QListView;

namespace lobby {

class RegistryModel;
class MemoModel;
class TForm1;

// The server's window: the registry grid Cad on top, the memo Memo1 below, laid out as the
// operators have always seen it. Views only: the form owns the data.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Servidor para jogos Multiplayer - KIVO online";

    explicit MainWindow(TForm1& form, QWidget* parent = nullptr);

    QTableView* Grid() const { return grid_; }

private:
    QTableView* grid_;
    QListView* memo_;
    RegistryModel* registryModel_;
    MemoModel* memoModel_;
};

} // namespace lobby
