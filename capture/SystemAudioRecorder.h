#pragma once

#include "AudioMediaWriter.h"
#include "AudioSampleBuffer.h"
#include "RecordingChunkMetadata.h"
#include "SerialQueue.h"
#include "SystemAudioCaptureMetadata.h"
#include "WallClock.h"

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
// Threads: append() only on the capture queue; stop() after the capture stream stopped delivering. Finished
// chunks are closed on the queue "Tavilon.SystemAudioRecorder.Writer" and reported from it, after their file
// is complete. The counters behind the summary are guarded for reading from any thread.
class SystemAudioRecorder {
public:
    struct Timing {
        double chunkDurationSeconds = 300;
    };

    SystemAudioRecorder(QString outputPath, std::optional<QString> chunkFolder, Logger& logger,
                        AudioMediaWriterFactory writerFactory, WallClock clock, Timing timing);
    ~SystemAudioRecorder();

    SystemAudioRecorder(const SystemAudioRecorder&) = delete;
    SystemAudioRecorder& operator=(const SystemAudioRecorder&) = delete;

    static QString sourceDescription();

    void append(const AudioSampleBuffer& buffer);
    // Finishes both files and returns once they are complete and the last chunk has been reported.
    void stop();

    SystemAudioCaptureMetadata captureMetadata() const;
    qint64 bufferCount() const;
    std::optional<QDateTime> firstBufferAt() const;
    float lastLevel() const;

    // Set before capture starts.
    std::function<void(float level)> onLevel;
    std::function<void(const RecordingChunkMetadata& chunk, const QString& chunkPath)> onChunkCompleted;

private:
    std::unique_ptr<AudioMediaWriter> makeWriter(const QString& path, const QString& inputFailure);
    void setUpChunkWriter();
    void finishChunk();

    const QString outputPath_;
    const std::optional<QString> chunkFolder_;
    Logger& logger_;
    AudioMediaWriterFactory writerFactory_;
    WallClock clock_;
    Timing timing_;

    std::unique_ptr<AudioMediaWriter> writer_;
    bool didStart_ = false;
    std::unique_ptr<AudioMediaWriter> chunkWriter_;
    bool chunkDidStart_ = false;
    qint64 chunkIndex_ = 0;
    std::optional<QDateTime> chunkStartedAt_;
    std::optional<QString> chunkPath_;

    mutable std::mutex summaryLock_;
    qint64 bufferCount_ = 0;
    std::optional<QDateTime> firstBufferAt_;
    float lastLevel_ = 0;

    SerialQueue finishQueue_{"Tavilon.SystemAudioRecorder.Writer"};
};

} // namespace ebbcast
