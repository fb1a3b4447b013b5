#include "app/StopRequest.h"

#include <QCoro/QCoroSignal>

namespace ebbcast {

void StopRequest::request()
{
    if (requested_)
        return;
    requested_ = true;
    Q_EMIT stopRequested();
}

QCoro::Task<> StopRequest::requested()
{
    if (!requested_) {
        auto stopped = qCoro(this, &StopRequest::stopRequested);
        co_await stopped;
    }
}

} // namespace ebbcast
