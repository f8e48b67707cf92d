// QtUiHost: queued invocations for posted tasks, one QTimer per core timer.
#include "gui/QtUiHost.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>

namespace quillon::gui {

QtUiHost::QtUiHost(QObject* parent) : QObject(parent) {}

QtUiHost::~QtUiHost() {
    for (auto& [id, timer] : timers_) delete timer;
}

namespace {
const QEvent::Type kRunPosted = static_cast<QEvent::Type>(QEvent::registerEventType());
}

void QtUiHost::post(Task fn) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
    if (wakePending_) return;
    wakePending_ = true;
    // Made under the lock, so that the event's creation is ordered before the UI thread takes
    // the queue (and before Qt deletes the event there).
    QCoreApplication::postEvent(this, new QEvent(kRunPosted));
}

bool QtUiHost::event(QEvent* event) {
    {
        // Our wake-up events are made under this lock; taking it before reading the event
        // orders that creation before the read in a way ThreadSanitizer can see (Qt's own queue
        // lock is invisible to it).
        std::lock_guard lock(mutex_);
    }
    if (event->type() != kRunPosted) return QObject::event(event);
    runPosted();
    return true;
}

void QtUiHost::runPosted() {
    // One task at a time from the one queue, so that order holds even when a task opens a
    // nested event loop (a message box) that runs later tasks. At most what was queued at the
    // start runs now; the rest waits behind the window's own events.
    std::size_t budget = 0;
    {
        std::lock_guard lock(mutex_);
        budget = queue_.size();
        wakePending_ = false;
    }
    for (; budget > 0; --budget) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            task();
        } catch (const std::exception& e) {
            // Nothing may leave a Qt event handler; the core's tasks do not throw by design.
            qWarning("quillon: a posted task failed: %s", e.what());
        }
    }
    std::lock_guard lock(mutex_);
    if (!queue_.empty() && !wakePending_) {
        wakePending_ = true;
        QCoreApplication::postEvent(this, new QEvent(kRunPosted));
    }
}

UiHost::TimerId QtUiHost::startTimer(Millis interval, bool periodic, Task fn) {
    const TimerId id = nextId_++;
    auto* timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!periodic);
    timer->setInterval(static_cast<int>(interval.count()));
    connect(timer, &QTimer::timeout, this, [this, id, periodic, fn = std::move(fn)] {
        if (!periodic) stopTimer(id);
        fn();
    });
    timers_[id] = timer;
    timer->start();
    return id;
}

void QtUiHost::stopTimer(TimerId id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second->stop();
    // The timer may be stopping itself from inside its own timeout handler.
    it->second->deleteLater();
    timers_.erase(it);
}

bool QtUiHost::onUiThread() const { return QThread::currentThread() == thread(); }

}  // namespace quillon::gui
