#include "app/message_box_notifier.h"

#include <QMessageBox>
#include <QThread>

#include "app/cp1252.h"

namespace lobby {

void MessageBoxNotifier::Show(const std::string& caption, const std::string& text)
{
    // While the loop runs, the box is opened and left to the operator: a request's handler
    // holds up every datagram until it returns, so waiting for OK here would stop the lobby
    // until somebody clicked. Otherwise nothing else waits, and the box is waited for.
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
