#include "app/message_box_notifier.h"

#include <QMessageBox>
#include <QThread>

#include "app/cp1252.h"
#include "platform/standard_error.h"

namespace lobby {

void MessageBoxNotifier::ShowError(const std::string& caption, const std::string& text)
{
    if (!showing_) {
        WriteErrorLine(caption, text);
        held_.emplace_back(caption, text);
        return;
    }
    Show(caption, text);
}

void MessageBoxNotifier::StartShowing()
{
    showing_ = true;
    while (!held_.empty()) {
        auto [caption, text] = std::move(held_.front());
        held_.pop_front();
        Show(caption, text);
    }
}

void MessageBoxNotifier::Show(const std::string& caption, const std::string& text)
{
    // While the loop runs, the box is opened and left to the operator: waiting for OK here
    // would hold up the handler that failed, and a request's handler holds up every datagram
    // until it returns, so one bad request from anybody would stop the lobby until somebody
    // clicked. Before the loop runs or after it ended, nothing else waits: the box is shown
    // and waited for, so the operator reads it before the program goes on (or ends).
    if (QThread::currentThread()->loopLevel() > 0) {
        auto* box = new QMessageBox(QMessageBox::Critical, FromCp1252(caption), FromCp1252(text), QMessageBox::Ok);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    QMessageBox box(QMessageBox::Critical, FromCp1252(caption), FromCp1252(text), QMessageBox::Ok);
    box.exec();
}

} // namespace lobby
