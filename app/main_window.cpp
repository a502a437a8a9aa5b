#include "app/main_window.h"

#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "app/memo_model.h"
#include "app/registry_model.h"
#include "app/window_status.h"
#include "server/lobby/form1.h"

namespace lobby {

namespace {

constexpr int kColumnWidths[Registry::kColCount] = {17, 139, 97, 155, 49, 22};
constexpr int kRowHeight = 16;
// The grid keeps a few rows however small the operator makes the window.
constexpr int kGridMinimumHeight = 3 * kRowHeight;
constexpr int kMemoHeight = 60;

} // namespace

MainWindow::MainWindow(TForm1& form, QWidget* parent)
    : QMainWindow(parent),
      form_(form),
      grid_(new QTableView),
      status_(new QLabel),
      memo_(new QListView),
      registryModel_(new RegistryModel(form.Cad, this, form.MasksPasswords())),
      memoModel_(new MemoModel(form.Memo1, this, form.MasksPasswords()))
{
    setWindowTitle(kCaption);
    setGeometry(196, 107, 519, 204);

    QFont gridFont("Arial");
    gridFont.setPointSize(8);
    grid_->setObjectName("Cad");
    grid_->setFont(gridFont);
    grid_->setModel(registryModel_);
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setSelectionMode(QAbstractItemView::ContiguousSelection);
    grid_->setWordWrap(false);
    grid_->verticalHeader()->hide();
    grid_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid_->verticalHeader()->setMinimumSectionSize(1);
    grid_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    grid_->horizontalHeader()->setHighlightSections(false);
    grid_->horizontalHeader()->setMinimumSectionSize(1);
    for (int col = 0; col < Registry::kColCount; ++col)
        grid_->setColumnWidth(col, kColumnWidths[col]);
    grid_->setMinimumHeight(kGridMinimumHeight);

    status_->setObjectName("Status");
    status_->setContentsMargins(4, 1, 4, 1);
    status_->setTextFormat(Qt::PlainText);
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    RefreshStatus();
    auto* statusTimer = new QTimer(this);
    connect(statusTimer, &QTimer::timeout, this, &MainWindow::RefreshStatus);
    statusTimer->start(kStatusRefreshMs);

    memo_->setObjectName("Memo1");
    memo_->setModel(memoModel_);
    memo_->setUniformItemSizes(true);
    memo_->setFixedHeight(kMemoHeight);

    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(grid_, 1);
    layout->addWidget(status_);
    layout->addWidget(memo_);
    setCentralWidget(central);
}

void MainWindow::RefreshStatus()
{
    const QString text = QString::fromStdString(WindowStatusText(form_));
    if (status_->text() != text)
        status_->setText(text);
}

} // namespace lobby
