#include "core/base/TimerPause.h"

#include <QCoro/QCoroTimer>
#include <QTimer>

namespace ebbcast {

QCoro::Task<void> pauseOnTimer(std::chrono::milliseconds duration)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    timer.start(duration);
    co_await timer;
}

} // namespace ebbcast
