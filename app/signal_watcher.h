#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

// Turns SIGINT and SIGTERM (the operator closing the server) and SIGHUP (re-read the
// regional settings) into calls on the loop's thread. The signal handler only writes the
// signal's number into a pipe; everything else runs later, in the loop.
class SignalWatcher : public QObject {
    Q_OBJECT
public:
    SignalWatcher(std::function<void()> onClose, std::function<void()> onReload, QObject* parent = nullptr);
    ~SignalWatcher() override;

private:
    void Drain();

    std::function<void()> onClose_;
    std::function<void()> onReload_;
    QSocketNotifier* notifier_ = nullptr;
};
