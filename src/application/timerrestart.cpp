#include "application/timerrestart.h"

#include <QThread>
#include <QTimer>

namespace korvel::application::impl {

TimerRestart::TimerRestart(QTimer *timer, std::function<int()> interval)
    : QObject(timer)
    , timer(timer)
    , interval(std::move(interval))
{ }

void TimerRestart::request()
{
    if (QThread::currentThread() == thread())
        restart();
    else if (!pending.exchange(true))
        QMetaObject::invokeMethod(this, "restart", Qt::QueuedConnection);
}

void TimerRestart::restart()
{
    pending = false;
    if (interval)
        timer->start(interval());
    else
        timer->start();
}

} // namespace korvel::application::impl
