#pragma once

#include "capture/AudioMediaWriter.h"
#include "capture/AudioSampleBuffer.h"
#include "capture/Recorder.h"
#include "capture/SystemAudioSource.h"
#include "capture/TrackInterruption.h"
#include "core/base/SerialQueue.h"
#include "core/base/WallClock.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SystemAudioCaptureMetadata.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace ebbcast {

class Logger;

// Writes the system-audio buffers of a session into the full-session file and into chunk files
// "system_chunk_%04d.m4a" cut after 300 s of wall-clock time, and keeps the capture summary.
// It owns its source (the monitor of the default output): start() starts it, and its buffers are handled on
// the serial queue "Tavilon.SystemAudioRecorder", apart from the screen's frames, so a busy video encoder
// never holds back the audio and a failed screen capture does not take the audio with it.
// Threads: startCapture() and stopCapture() block (start() and stop() run them on a worker); append() only on
// the queue (tests without a source call it directly, from one thread); stopCapture() stops the source first.
// Each chunk file has an encoder of its own rather than a copy of the full file's packets: AAC frames overlap,
// so a chunk cut from the full file's packets would decode its first frame without its predecessor (about
// 20 dB of error over its first 21 ms); encoding twice costs about 1.5 % of a core.
// Finished chunks are closed on the queue "Tavilon.SystemAudioRecorder.Writer" and reported from it, after
// their file is complete. The counters behind the summary are guarded for reading from any thread. A chunk
// file that cannot be set up or written is tried again one chunk period later; the full file gets every
// buffer meanwhile. A full file that cannot be set up or written ends the track with one error line;
// interruption() then says when and why.
class SystemAudioRecorder : public Recorder {
public:
    struct Timing {
        double chunkDurationSeconds = 300;
    };

    SystemAudioRecorder(QString outputPath, std::optional<QString> chunkFolder, Logger& logger,
                        AudioMediaWriterFactory writerFactory, WallClock clock, Timing timing,
                        std::unique_ptr<SystemAudioSource> source = nullptr);
    ~SystemAudioRecorder() override;

    SystemAudioRecorder(const SystemAudioRecorder&) = delete;
    SystemAudioRecorder& operator=(const SystemAudioRecorder&) = delete;

    static QString sourceDescription();

    // Starts the source; blocking. One that cannot start is logged and the session goes on without system
    // audio.
    void startCapture();

    // Before capture starts: the files begin at this moment (the session's start); the time until the first
    // buffer is written as silence, so a sound at a given session time lies at that offset in the full file
    // and in the first chunk.
    void setTimelineStart(const QDateTime& start);
    void append(const AudioSampleBuffer& buffer);
    // The capture source stopped delivering (the sound server went away). On the capture queue, like
    // append().
    void noteSourceFailure(const QString& reason);
    // Stops the source, handles what it delivered, finishes both files and returns once they are complete and
    // the last chunk has been reported. Blocking.
    void stopCapture();

    QString trackName() const override;
    QCoro::Task<> prepare(SessionMetadata& document) override;
    // Sets the timeline start, then starts the source on a worker thread.
    QCoro::Task<> start(const QDateTime& timelineStart) override;
    QCoro::Task<> stop() override;
    void complete(SessionMetadata& document) const override;
    bool hasRecorded() const override;

    SystemAudioCaptureMetadata captureMetadata() const;
    qint64 bufferCount() const;
    std::optional<QDateTime> firstBufferAt() const;
    float lastLevel() const;
    std::optional<TrackInterruption> interruption() const override;

private:
    std::unique_ptr<AudioMediaWriter> makeWriter(const QString& path, const QString& inputFailure);
    void setUpChunkWriter();
    // Sets up a chunk writer now; a failure is logged with `failureLine` and tried again a period later.
    void trySetUpChunkWriter(const QString& failureLine, const QDateTime& now);
    void endTrack(const QString& reason);
    void appendToWriters(const AudioSampleBuffer& buffer);
    void finishChunk();

    const QString outputPath_;
    const std::optional<QString> chunkFolder_;
    Logger& logger_;
    AudioMediaWriterFactory writerFactory_;
    WallClock clock_;
    Timing timing_;

    std::unique_ptr<AudioMediaWriter> writer_;
    bool didStart_ = false;                // the full file got a buffer
    std::optional<QString> writerFailure_; // why the full file's writer threw
    std::unique_ptr<AudioMediaWriter> chunkWriter_;
    bool chunkDidStart_ = false;                // the chunk got a buffer
    std::optional<QString> chunkWriterFailure_; // why the chunk's writer threw
    qint64 chunkIndex_ = 0;
    std::optional<QDateTime> chunkStartedAt_;
    std::optional<QString> chunkPath_;
    std::optional<QDateTime> chunkRetryAt_;   // no chunk writer: the next set-up attempt
    std::optional<QDateTime> lastAppendedAt_; // the last buffer the full file took
    bool trackEnded_ = false;
    std::optional<QDateTime> timelineStart_; // until the first buffer

    mutable std::mutex summaryLock_;
    qint64 bufferCount_ = 0;
    std::optional<QDateTime> firstBufferAt_;
    float lastLevel_ = 0;
    std::optional<TrackInterruption> interruption_;

    std::unique_ptr<SystemAudioSource> source_;
    bool sourceStarted_ = false;
    SerialQueue queue_{"Tavilon.SystemAudioRecorder"};
    SerialQueue finishQueue_{"Tavilon.SystemAudioRecorder.Writer"};
};

} // namespace ebbcast
