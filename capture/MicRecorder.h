#pragma once

#include "capture/AudioInputEngine.h"
#include "capture/PcmFileWriter.h"
#include "capture/Recorder.h"
#include "capture/TrackInterruption.h"
#include "core/base/SerialQueue.h"
#include "core/base/WallClock.h"
#include "core/documents/RecordingChunkMetadata.h"

#include <QDateTime>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace ebbcast {

class Logger;

// Records the default audio input for one session: every buffer goes into the full-session file and into
// consecutive chunk files "mic_chunk_%04d.wav" cut after 300 s of written audio, at buffer boundaries.
// A watchdog on the serial queue "Tavilon.MicRecorder.Watchdog" logs stalls and wall/audio divergence and
// restarts a stalled engine.
// A chunk's start time is the capture time of its first sample (the arrival of its first buffer less that
// buffer's length), so its offsets match the audio it holds. A chunk that cannot be opened or written is
// tried again after one more chunk period of input, never on every buffer. A full file that cannot be
// written ends the track: one error line, the chunk so far is reported, the files are closed and
// interruption() says when and why.
// Threads: startCapture()/stopCapture() block and are called from one thread at a time (start() and stop()
// run them on a worker); the buffer handler, onLevel and rotation reports on the
// engine's tap thread; checks and restarts on the watchdog queue. stateLock_ guards the counters and flags
// and is never held across a file write, a log call, a callback or an engine call. The files and chunk
// fields belong to the tap thread while the tap is installed, to startCapture()/stopCapture() otherwise.
class MicRecorder : public Recorder {
public:
    struct Timing {
        double chunkDurationSeconds = 300;
        std::chrono::milliseconds watchdogFirstCheck{10000};
        std::chrono::milliseconds watchdogInterval{5000};
        double stallThresholdSeconds = 10;
        double stallLogIntervalSeconds = 30;
    };

    MicRecorder(QString outputPath, QString preferredDeviceName, Logger& logger,
                std::unique_ptr<AudioInputEngine> engine, PcmFileWriterFactory writerFactory, WallClock clock,
                Timing timing);
    ~MicRecorder() override;

    MicRecorder(const MicRecorder&) = delete;
    MicRecorder& operator=(const MicRecorder&) = delete;

    // Throws FileError or the engine's error; a failed start leaves nothing open and no watchdog.
    // With a timeline start (the session's start time), the files begin at that moment: the time before the
    // first buffer, while the session and the input were starting, is written as silence, so a sound at a
    // given session time lies at that offset in the full file and in the first chunk.
    // Blocking: run on a worker thread or in tests.
    void startCapture(const std::optional<QString>& chunkFolder,
                      const std::optional<QDateTime>& timelineStart = std::nullopt);
    // Blocking; safe when the start failed or never came.
    void stopCapture();

    // The session's track: chunks go into the chunk folder set before start().
    void setChunkFolder(const std::optional<QString>& chunkFolder) { sessionChunkFolder_ = chunkFolder; }
    QString trackName() const override;
    QCoro::Task<> prepare(SessionMetadata& document) override;
    QCoro::Task<> start(const QDateTime& timelineStart) override;
    QCoro::Task<> stop() override;
    std::optional<TrackInterruption> interruption() const override;
    bool hasRecorded() const override { return framesWritten() > 0; }

    QString deviceName() const;
    // Frames written to the full file so far.
    std::int64_t framesWritten() const;

    // One watchdog check, as the timer runs it, followed by any restart it queued. Waits for both.
    void runWatchdogCheck();

    static constexpr std::uint32_t tapBufferFrames = 1024;

private:
    void handleBuffer(const AudioInputBuffer& buffer, const AudioInputFormat& format);
    struct Written {
        std::int64_t full = 0;
        std::int64_t chunk = 0;
        bool trackEnded = false;
    };
    Written writeToFiles(const AudioInputBuffer& buffer);
    // Silence from the timeline start to the first sample of the first buffer.
    Written writeLeadingSilence(const QDateTime& firstSampleAt, const AudioInputFormat& format);
    void beginChunk(const AudioInputFormat& format);
    // Begins a chunk at a rotation or a retry; a failure is logged and tried again one period later.
    void tryBeginChunk(const AudioInputFormat& format);
    void scheduleChunkRetry();
    void endTrack(const QString& reason);
    void finishChunk();
    void watchdogCheck();
    void requestEngineRestart();
    void restartEngine();
    void markRecordingStopped();
    double secondsFor(std::int64_t frames, double sampleRate) const;

    const QString outputPath_;
    const QString preferredDeviceName_;
    std::optional<QString> sessionChunkFolder_;
    Logger& logger_;
    std::unique_ptr<AudioInputEngine> engine_;
    PcmFileWriterFactory writerFactory_;
    WallClock clock_;
    Timing timing_;

    // Tap-thread (or stopped) state.
    std::unique_ptr<PcmFileWriter> file_;
    std::optional<QString> chunkFolder_;
    std::unique_ptr<PcmFileWriter> chunkFile_;
    std::int64_t chunkIndex_ = 0;
    std::optional<QDateTime> chunkStartedAt_;
    bool chunkHasAudio_ = false;                     // chunkStartedAt_ is its first sample's time
    std::int64_t deliveredFrames_ = 0;               // every frame the tap delivered, written or not
    std::optional<std::int64_t> chunkRetryAtFrames_; // no chunk open: try again at this many frames
    std::optional<QDateTime> lastWrittenAt_;         // the last buffer written to the full file
    bool trackEnded_ = false;                        // the full file failed: nothing more is written
    std::optional<QDateTime> timelineStart_;         // until the first buffer has been handled

    mutable std::mutex stateLock_;
    bool isRecovering_ = false;
    bool isRecording_ = false;
    std::optional<QDateTime> recordingStartedAt_;
    std::optional<QDateTime> lastBufferAt_;
    std::optional<QDateTime> lastDiagnosticLogAt_;
    double sampleRate_ = 0;
    std::int64_t fullFrameCount_ = 0;
    std::int64_t chunkFrameCount_ = 0;
    bool trackStopped_ = false; // the tap thread ended the track: no watchdog lines or restarts
    std::optional<TrackInterruption> interruption_;
    QString deviceName_;

    std::optional<SerialQueue::TimerID> watchdog_;
    SerialQueue watchdogQueue_{"Tavilon.MicRecorder.Watchdog"};
};

} // namespace ebbcast
