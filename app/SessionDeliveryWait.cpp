#include "app/SessionDeliveryWait.h"

#include "app/Console.h"
#include "app/StopRequest.h"
#include "core/base/TimerPause.h"
#include "drive/UploadManager.h"
#include "shell/StopSignals.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/TranscriptFinalizer.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

// Requests `wake` once the finalizer is idle (no run, no retry scheduled).
QCoro::Task<void> wakeWhenFinalized(TranscriptFinalizer& finalizer, StopRequest& wake)
{
    co_await finalizer.waitUntilIdle();
    wake.request();
}

// Requests `wake` once no upload runs or waits.
QCoro::Task<void> wakeWhenUploaded(UploadManager& uploads, StopRequest& wake)
{
    co_await uploads.waitUntilIdle();
    wake.request();
}

} // namespace

SessionDeliveryWait::SessionDeliveryWait(GlossenChunkPipeline& pipeline, TranscriptFinalizer& finalizer,
                                         UploadManager& uploads, StopSignals& stopSignals, Console& console)
    : pipeline_(pipeline)
    , finalizer_(finalizer)
    , uploads_(uploads)
    , stopSignals_(stopSignals)
    , console_(console)
{}

SessionDeliveryWait::~SessionDeliveryWait() = default;

QString SessionDeliveryWait::pending(const QString& sessionFolder) const
{
    if (const int chunks = pipeline_.pendingChunks(sessionFolder); chunks > 0)
        return u"Waiting for %1 chunk transcript%2…"_s.arg(chunks).arg(chunks == 1 ? u""_s : u"s"_s);
    if (!finalizer_.isIdle())
        return finalizer_.hasPendingRetry(sessionFolder)
                   ? u"Waiting for the final transcript's next delivery attempt…"_s
                   : u"Waiting for the final transcript…"_s;
    if (uploads_.isBusy())
        return u"Waiting for the Drive uploads…"_s;
    return QString();
}

QCoro::Task<bool> SessionDeliveryWait::waitFor(QString sessionFolder)
{
    QString shown;
    bool idleOnce = false;
    while (!interrupted_) {
        const QString waiting = pending(sessionFolder);
        if (waiting.isEmpty()) {
            // A finished upload or chunk may have queued a last finalization: look again after the events
            // already queued have run.
            if (idleOnce)
                co_return true;
            idleOnce = true;
            co_await pauseOnTimer(std::chrono::milliseconds(0));
            continue;
        }
        idleOnce = false;
        if (waiting != shown)
            console_.error(waiting);
        shown = waiting;

        StopRequest& wake = *wakes_.emplace_back(std::make_unique<StopRequest>());
        QObject::connect(&stopSignals_, &StopSignals::caught, &wake, [this, &wake] {
            interrupted_ = true;
            wake.request();
        });
        if (pipeline_.pendingChunks(sessionFolder) > 0) {
            QObject::connect(&pipeline_, &GlossenChunkPipeline::sessionSettled, &wake, &StopRequest::request);
        } else if (!finalizer_.isIdle()) {
            QCoro::Task<void> watching = wakeWhenFinalized(finalizer_, wake);
            Q_UNUSED(watching);
        } else {
            QCoro::Task<void> watching = wakeWhenUploaded(uploads_, wake);
            Q_UNUSED(watching);
        }
        auto woken = wake.requested();
        co_await woken;
        // Later wake-ups of this one are of no interest.
        QObject::disconnect(&stopSignals_, nullptr, &wake, nullptr);
        QObject::disconnect(&pipeline_, nullptr, &wake, nullptr);
    }
    co_return false;
}

} // namespace ebbcast
