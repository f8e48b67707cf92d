// The core's UI thread and timers on the Qt event loop: posted tasks become queued calls on the
// thread that owns this object (in posting order, from any thread), timers are QTimers. The
// watchdog and every other core timer therefore fire between the window's own events.
#pragma once

#include <QObject>
#include <deque>
#include <map>
#include <mutex>

#include "core/UiHost.h"

class QTimer;

namespace quillon::gui {

class QtUiHost : public QObject, public UiHost {
    Q_OBJECT
public:
    explicit QtUiHost(QObject* parent = nullptr);
    ~QtUiHost() override;

    void post(Task fn) override;
    TimerId startTimer(Millis interval, bool periodic, Task fn) override;
    void stopTimer(TimerId id) override;
    bool onUiThread() const override;

    std::size_t activeTimers() const { return timers_.size(); }

protected:
    bool event(QEvent* event) override;

private:
    void runPosted();

    // Posted tasks wait here; one wake-up event is in Qt's queue while this is not empty. Our own
    // lock (rather than Qt's queue alone) orders a task's creation before its run in a way that
    // ThreadSanitizer can see.
    std::mutex mutex_;
    std::deque<Task> queue_;
    bool wakePending_ = false;
    std::map<TimerId, QTimer*> timers_;
    TimerId nextId_ = 1;
};

}  // namespace quillon::gui
