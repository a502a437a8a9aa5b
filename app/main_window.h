#pragma once

#include <QMainWindow>

class QLabel;
class QTableView;
class QListView;

namespace lobby {

class RegistryModel;
class MemoModel;
class TForm1;

// The server's window: the registry grid Cad on top, the status line under it, the memo Memo1
// below, opening at the size the operators have always seen. The operator may resize it: the
// grid takes what the window gains or loses, the status line and the memo keep their height.
// Views only: the form owns the data.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Servidor para jogos Multiplayer - KIVO online";

    explicit MainWindow(TForm1& form, QWidget* parent = nullptr);

    // How often the status line is read again: the save it reports ends away from the window.
    static constexpr int kStatusRefreshMs = 1000;

    QTableView* Grid() const { return grid_; }

private:
    // Reads the status line from the form; the timer calls it every kStatusRefreshMs.
    void RefreshStatus();

    const TForm1& form_;
    QTableView* grid_;
    QLabel* status_;
    QListView* memo_;
    RegistryModel* registryModel_;
    MemoModel* memoModel_;
};

} // namespace lobby
