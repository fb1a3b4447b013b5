#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <memory>
#include <vector>

namespace ebbcast {

class Console;
class GlossenChunkPipeline;
class StopRequest;
class StopSignals;
class TranscriptFinalizer;
class UploadManager;

// Waits, on the command line, until what a stopped session set off has ended: its chunk transcripts, its
// final transcript (retries included) and the Drive uploads; or until a stop signal (Ctrl-C) comes. Says on
// standard error what it waits for, each time that changes. Event driven: it wakes on the pipeline's
// settling, the finalizer's and the uploads' idleness and the signal. Main thread; must live as long as the
// command, because the watchers it starts may outlive a wait that a signal ended.
class SessionDeliveryWait {
public:
    SessionDeliveryWait(GlossenChunkPipeline& pipeline, TranscriptFinalizer& finalizer,
                        UploadManager& uploads, StopSignals& stopSignals, Console& console);
    ~SessionDeliveryWait();

    SessionDeliveryWait(const SessionDeliveryWait&) = delete;
    SessionDeliveryWait& operator=(const SessionDeliveryWait&) = delete;

    // True once everything ended, false when a stop signal came first.
    QCoro::Task<bool> waitFor(QString sessionFolder);

private:
    // What is still running, as the line that says so; empty when nothing is.
    QString pending(const QString& sessionFolder) const;

    GlossenChunkPipeline& pipeline_;
    TranscriptFinalizer& finalizer_;
    UploadManager& uploads_;
    StopSignals& stopSignals_;
    Console& console_;
    bool interrupted_ = false;
    // One wake-up per wait; kept, because detached watchers may still hold one after the wait.
    std::vector<std::unique_ptr<StopRequest>> wakes_;
};

} // namespace ebbcast
