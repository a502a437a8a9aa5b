#include "app/notifiers.h"

#include <QMessageBox>
#include <cstdio>

#include "app/cp1252.h"

void StandardErrorNotifier::ShowError(const std::string& caption, const std::string& text)
{
    std::string line = caption + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void MessageBoxNotifier::ShowError(const std::string& caption, const std::string& text)
{
    if (!showing_) {
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
    QMessageBox box(QMessageBox::Critical, FromCp1252(caption), FromCp1252(text), QMessageBox::Ok);
    box.exec(); // a nested loop: datagrams and ticks are still handled meanwhile
}
