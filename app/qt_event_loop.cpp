#include "app/qt_event_loop.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/exception.h"

namespace lobby {

namespace {

// Owns the Qt object behind a registration; deleting it ends the callbacks. Qt allows a
// notifier or timer to be deleted from inside its own signal, so a callback may drop its
// own registration.
class QtRegistration : public EventLoop::Registration {
public:
    QtRegistration(std::unique_ptr<QObject> object, const LoopThread& thread)
        : object_(std::move(object)), thread_(thread)
    {
    }
    // The registration may outlive its loop, so it keeps its own copy of the loop's thread.
    ~QtRegistration() override { thread_.AssertHere("QtEventLoop: a registration dropped"); }

private:
    std::unique_ptr<QObject> object_;
    LoopThread thread_;
};

} // namespace

QtEventLoop::QtEventLoop(ErrorHandler onError) : onError_(std::move(onError))
{
    if (QCoreApplication::instance() == nullptr)
        throw Exception("QtEventLoop needs a QCoreApplication");
    context_ = std::make_unique<QObject>();
}

QtEventLoop::~QtEventLoop()
{
    thread_.AssertHere("QtEventLoop::~QtEventLoop");
}

void QtEventLoop::SetErrorHandler(ErrorHandler onError)
{
    thread_.AssertHere("QtEventLoop::SetErrorHandler");
    onError_ = std::move(onError);
}

std::unique_ptr<EventLoop::Registration> QtEventLoop::WatchReadable(Watchable fd, std::function<void()> onReadable)
{
    thread_.AssertHere("QtEventLoop::WatchReadable");
    return Watch(fd, std::move(onReadable), false);
}

std::unique_ptr<EventLoop::Registration> QtEventLoop::WatchReadableReentrant(Watchable fd, std::function<void()> onReadable)
{
    thread_.AssertHere("QtEventLoop::WatchReadableReentrant");
    return Watch(fd, std::move(onReadable), true);
}

std::unique_ptr<EventLoop::Registration> QtEventLoop::WatchWritable(Watchable fd, std::function<void()> onWritable)
{
    thread_.AssertHere("QtEventLoop::WatchWritable");
    return Watch(fd, std::move(onWritable), false, true);
}

std::unique_ptr<EventLoop::Registration> QtEventLoop::Watch(int fd, std::function<void()> onReadable, bool reentrant,
                                                            bool writable)
{
    auto notifier = std::make_unique<QSocketNotifier>(fd, writable ? QSocketNotifier::Write : QSocketNotifier::Read);
    // Qt holds a reference to the connected functor while calling it, so the callback lives
    // on to its end even if it drops its own registration. Unless reentrant, the notifier is
    // off while its callback runs, or Qt's dispatcher would call it again from inside it.
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
    return std::make_unique<QtRegistration>(std::move(notifier), thread_);
}

std::unique_ptr<EventLoop::Registration> QtEventLoop::StartTimer(int intervalMs, std::function<void()> onTick)
{
    thread_.AssertHere("QtEventLoop::StartTimer");
    auto timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, timer.get(), [this, callback = std::move(onTick)] { Guarded(callback); });
    timer->start(intervalMs);
    return std::make_unique<QtRegistration>(std::move(timer), thread_);
}

void QtEventLoop::Post(std::function<void()> fn)
{
    QMetaObject::invokeMethod(context_.get(), [this, fn = std::move(fn)] { Guarded(fn); }, Qt::QueuedConnection);
}

void QtEventLoop::ProcessEvents(int maxWaitMs)
{
    thread_.AssertHere("QtEventLoop::ProcessEvents");
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
    thread_.AssertHere("QtEventLoop::Quit");
    // Queued: QCoreApplication::exit does nothing unless a loop is already running.
    QMetaObject::invokeMethod(context_.get(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void QtEventLoop::Guarded(const std::function<void()>& fn)
{
    RunReportingErrors(onError_, fn);
}

} // namespace lobby
