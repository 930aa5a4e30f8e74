#pragma once

// Restarts a timer after changes made in any thread. Not installed.

#include <QObject>

#include <atomic>
#include <functional>

QT_BEGIN_NAMESPACE
class QTimer;
QT_END_NAMESPACE

namespace korvel::application::impl {

// A timer can be started only in its own thread. There the restart happens at once; other
// threads post one queued restart for a burst of changes, which restarts the timer when the
// timer's thread next passes its event loop, after the last change of the burst. A child of the
// timer, so that it lives in the timer's thread and goes with it.
class TimerRestart : public QObject
{
    Q_OBJECT

public:
    // interval, when given, is asked for the timer's interval at each restart.
    explicit TimerRestart(QTimer *timer, std::function<int()> interval = {});

    // Callable from any thread.
    void request();

private Q_SLOTS:
    void restart();

private:
    QTimer *timer;
    std::function<int()> interval;
    std::atomic<bool> pending{false};
};

} // namespace korvel::application::impl
