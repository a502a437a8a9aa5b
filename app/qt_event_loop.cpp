#include "app/qt_event_loop.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/exception.h"

namespace {

// Owns the Qt object behind a registration; deleting it ends the callbacks. Qt allows a
// notifier or timer to be deleted from inside its own signal, so a callback may drop its
// own registration.
class QtRegistration : public EventLoop::Registration {
public:
    explicit QtRegistration(std::unique_ptr<QObject> object) : object_(std::move(object)) {}

private:
    std::unique_ptr<QObject> object_;
};

} // namespace

QtEventLoop::QtEventLoop(ErrorHandler onError) : onError_(std::move(onError))
{
    if (QCoreApplication::instance() == nullptr)
        throw Exception("QtEventLoop needs a QCoreApplication");
    context_ = std::make_unique<QObject>();
}

QtEventLoop::~QtEventLoop() = default;

void QtEventLoop::SetErrorHandler(ErrorHandler onError)
{
    onError_ = std::move(onError);
}

std::unique_ptr<EventLoop::Registration> QtEventLoop::WatchReadable(int fd, std::function<void()> onReadable)
{
    return Watch(fd, std::move(onReadable), false);
}

std::unique_ptr<EventLoop::Registration> QtEventLoop::WatchReadableReentrant(int fd, std::function<void()> onReadable)
{
    return Watch(fd, std::move(onReadable), true);
}

std::unique_ptr<EventLoop::Registration> QtEventLoop::Watch(int fd, std::function<void()> onReadable, bool reentrant)
{
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    // Qt holds a reference to the connected functor while calling it, so the callback lives
    // on to its end even if it drops its own registration. Unless reentrant, the notifier is
    // off while its callback runs: Qt's dispatcher would otherwise call it again from a
    // nested dispatch (a send waiting for a host lookup) while its datagram is still being
    // handled.
    QSocketNotifier* raw = notifier.get();
    QObject::connect(raw, &QSocketNotifier::activated, raw, [this, raw, reentrant, callback = std::move(onReadable)] {
        if (reentrant) {
            Guarded(callback);
            return;
        }
        const QPointer<QSocketNotifier> alive(raw);
        raw->setEnabled(false);
        Guarded(callback);
        if (alive)
            alive->setEnabled(true);
    });
    return std::make_unique<QtRegistration>(std::move(notifier));
}

std::unique_ptr<EventLoop::Registration> QtEventLoop::StartTimer(int intervalMs, std::function<void()> onTick)
{
    auto timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, timer.get(), [this, callback = std::move(onTick)] { Guarded(callback); });
    timer->start(intervalMs);
    return std::make_unique<QtRegistration>(std::move(timer));
}

void QtEventLoop::Post(std::function<void()> fn)
{
    QMetaObject::invokeMethod(context_.get(), [this, fn = std::move(fn)] { Guarded(fn); }, Qt::QueuedConnection);
}

void QtEventLoop::ProcessEvents(int maxWaitMs)
{
    if (maxWaitMs <= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    // Qt's waiting form has no limit of its own; this timer's event is what ends the wait
    // when nothing else arrives.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(maxWaitMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtEventLoop::Quit()
{
    // Queued: QCoreApplication::exit does nothing unless a loop is already running.
    QMetaObject::invokeMethod(context_.get(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void QtEventLoop::Guarded(const std::function<void()>& fn)
{
    RunReportingErrors(onError_, fn);
}
