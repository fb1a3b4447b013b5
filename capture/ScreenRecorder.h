#pragma once

#include "capture/Recorder.h"
#include "capture/ScreenDisplay.h"
#include "capture/ScreenFrameSource.h"
#include "capture/TrackInterruption.h"
#include "capture/VideoMediaWriter.h"
#include "core/base/SerialQueue.h"
#include "core/base/WallClock.h"
#include "core/documents/DisplayMetadata.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

namespace ebbcast {

class Logger;

// Records one display into the session's movie. Frames are handled on the serial queue
// "Tavilon.ScreenRecorder", where at most five wait (later ones are dropped). The system audio is a peer
// recorder of its own (SystemAudioRecorder), not part of this one.
// Threads: prepare(), start() and stop() are coroutines started on the main thread; their blocking parts run
// on worker threads. The frame and audio sources call in on their own threads and only queue work.
class ScreenRecorder : public Recorder {
public:
    // `displayID` is the display to record (0 or one that does not exist: the main display).
    ScreenRecorder(QString outputPath, quint32 displayID, Logger& logger,
                   std::unique_ptr<ScreenFrameSource> frameSource, VideoMediaWriterFactory writerFactory,
                   WallClock clock = systemTime);
    ~ScreenRecorder() override;

    ScreenRecorder(const ScreenRecorder&) = delete;
    ScreenRecorder& operator=(const ScreenRecorder&) = delete;

    // Chooses the display and sets up the movie writer. Throws RecorderError, ScreenCaptureError or
    // FileError.
    QCoro::Task<DisplayMetadata> prepareDisplay();

    QString trackName() const override;
    // The display chosen and the movie's size go into the document.
    QCoro::Task<> prepare(SessionMetadata& document) override;
    // Starts capture; the movie's timeline begins at its first frame.
    QCoro::Task<> start(const QDateTime& timelineStart = {}) override;
    // Never throws.
    QCoro::Task<> stop() override;
    // Why the movie stopped before stop() (the display went away, the writer failed), if it did. Read after
    // stop().
    std::optional<TrackInterruption> interruption() const override;
    bool hasRecorded() const override;

    static constexpr int maximumFramesPerSecond = 30;
    static constexpr int queueDepth = 5;

private:
    void enqueueFrame(const ScreenFrame& frame);
    void handleFrame(const ScreenFrame& frame);
    void stopSources();
    void noteInterruption(const QString& reason); // queue thread

    const QString outputPath_;
    const quint32 displayID_;
    Logger& logger_;
    std::unique_ptr<ScreenFrameSource> frameSource_;
    VideoMediaWriterFactory writerFactory_;
    WallClock clock_;

    std::optional<ScreenDisplay> selectedDisplay_;
    std::unique_ptr<VideoMediaWriter> writer_;
    std::optional<double> firstVideoPTS_;         // queue thread only
    std::optional<QString> writerFailure_;        // why the writer threw; queue thread, then stop()
    std::optional<QDateTime> lastFrameWrittenAt_; // queue thread only
    mutable std::mutex interruptionLock_;
    std::optional<TrackInterruption> interruption_; // guarded by interruptionLock_
    bool capturing_ = false;
    std::atomic<int> waitingFrames_{0};
    SerialQueue queue_{"Tavilon.ScreenRecorder"};
};

// Finishes a writer on a worker thread and resumes once it is done; rethrows the writer's RecorderError.
QCoro::Task<> finishWritingAsync(VideoMediaWriter& writer);

} // namespace ebbcast
