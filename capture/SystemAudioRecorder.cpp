#include "capture/SystemAudioRecorder.h"

#include "capture/RecorderError.h"
#include "core/base/FileError.h"
#include "core/base/Logger.h"
#include "core/base/WorkerTask.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <cstring>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Root mean square of the buffer's signed 16-bit samples, all channels as they lie.
float levelOf(const AudioSampleBuffer& buffer)
{
    const qsizetype count = buffer.data.size() / 2;
    if (count == 0)
        return 0.0F;
    double sum = 0;
    const char* bytes = buffer.data.constData();
    for (qsizetype i = 0; i < count; ++i) {
        std::int16_t sample = 0;
        std::memcpy(&sample, bytes + 2 * i, 2);
        const double scaled = sample / 32767.0;
        sum += scaled * scaled;
    }
    return static_cast<float>(std::sqrt(sum / static_cast<double>(count)));
}

double secondsIn(const AudioSampleBuffer& buffer)
{
    if (buffer.sampleRate <= 0 || buffer.channelCount <= 0)
        return 0;
    return static_cast<double>(buffer.data.size() / (2 * buffer.channelCount)) / buffer.sampleRate;
}

// The reason a writer gave for failing; a log line never ends in nothing.
QString failureText(const EbbcastError& error)
{
    return error.description().isEmpty() ? u"unknown error"_s : error.description();
}

} // namespace

SystemAudioRecorder::SystemAudioRecorder(QString outputPath, std::optional<QString> chunkFolder,
                                         Logger& logger, AudioMediaWriterFactory writerFactory,
                                         WallClock clock, Timing timing,
                                         std::unique_ptr<SystemAudioSource> source)
    : outputPath_(std::move(outputPath))
    , chunkFolder_(std::move(chunkFolder))
    , logger_(logger)
    , writerFactory_(std::move(writerFactory))
    , clock_(std::move(clock))
    , timing_(timing)
    , source_(std::move(source))
{}

SystemAudioRecorder::~SystemAudioRecorder()
{
    // Normally stopCapture() ran; a recorder dropped while capturing at least stops its source calling in.
    if (sourceStarted_)
        source_->stop();
    queue_.sync();
    finishQueue_.sync();
}

void SystemAudioRecorder::startCapture()
{
    if (!source_)
        return;
    try {
        source_->start(
            [this](const AudioSampleBuffer& buffer) { queue_.async([this, buffer] { append(buffer); }); },
            [this](const QString& reason) {
                logger_.error(u"System audio capture stopped: "_s + reason);
                queue_.async([this, reason] { noteSourceFailure(reason); });
            });
        sourceStarted_ = true;
        logger_.info(u"ScreenCaptureKit system audio output attached"_s);
    } catch (const EbbcastError& error) {
        logger_.error(u"System audio capture output unavailable: "_s + error.description());
    }
}

QString SystemAudioRecorder::trackName() const
{
    return u"the system audio"_s;
}

QCoro::Task<> SystemAudioRecorder::prepare(SessionMetadata& document)
{
    document.audioDevices.systemAudio = sourceDescription();
    document.systemAudioCapture = SystemAudioCaptureMetadata::unavailable();
    co_return;
}

QCoro::Task<> SystemAudioRecorder::start(const QDateTime& timelineStart)
{
    setTimelineStart(timelineStart);
    co_await runOnWorker([this] { startCapture(); });
}

QCoro::Task<> SystemAudioRecorder::stop()
{
    co_await runOnWorker([this] { stopCapture(); });
}

void SystemAudioRecorder::complete(SessionMetadata& document) const
{
    document.systemAudioCapture = captureMetadata();
}

bool SystemAudioRecorder::hasRecorded() const
{
    // The recorder leaves no file without a buffer in it.
    return QFileInfo::exists(outputPath_);
}

QString SystemAudioRecorder::sourceDescription()
{
    return u"ScreenCaptureKit system audio"_s;
}

std::unique_ptr<AudioMediaWriter> SystemAudioRecorder::makeWriter(const QString& path,
                                                                  const QString& inputFailure)
{
    try {
        return writerFactory_(path);
    } catch (const RecorderError& error) {
        if (error.code() == RecorderError::Code::writerSetupFailed)
            throw RecorderError::writerSetupFailed(inputFailure); // the encoder would not take the input
        throw;
    }
}

void SystemAudioRecorder::setUpChunkWriter()
{
    if (!chunkFolder_)
        return;
    if (!QDir().mkpath(*chunkFolder_)) {
        throw FileError(FileError::Code::createDirectoryFailed, *chunkFolder_,
                        u"the folder or one of its parents could not be created"_s);
    }
    ++chunkIndex_;
    const QString path = *chunkFolder_ + u'/' +
                         QString::asprintf("system_chunk_%04lld", static_cast<long long>(chunkIndex_)) +
                         u".m4a"_s;
    chunkWriter_ = makeWriter(path, u"Cannot add system audio chunk input"_s);
    chunkDidStart_ = false;
    chunkWriterFailure_.reset();
    chunkStartedAt_ = clock_();
    chunkPath_ = path;
}

void SystemAudioRecorder::trySetUpChunkWriter(const QString& failureLine, const QDateTime& now)
{
    try {
        setUpChunkWriter();
        chunkRetryAt_.reset();
    } catch (const EbbcastError& error) {
        logger_.error(failureLine + error.description());
        chunkRetryAt_ = now.addMSecs(std::llround(timing_.chunkDurationSeconds * 1000.0));
    }
}

void SystemAudioRecorder::endTrack(const QString& reason)
{
    trackEnded_ = true;
    finishChunk();
    const std::lock_guard lock(summaryLock_);
    interruption_ = TrackInterruption{lastAppendedAt_, reason};
}

void SystemAudioRecorder::setTimelineStart(const QDateTime& start)
{
    timelineStart_ = start;
}

void SystemAudioRecorder::appendToWriters(const AudioSampleBuffer& buffer)
{
    didStart_ = true;
    if (!writerFailure_) {
        try {
            writer_->append(buffer);
        } catch (const EbbcastError& error) {
            writerFailure_ = failureText(error);
        }
    }
    if (!chunkWriter_)
        return;
    chunkDidStart_ = true;
    if (!chunkWriterFailure_) {
        try {
            chunkWriter_->append(buffer);
        } catch (const EbbcastError& error) {
            chunkWriterFailure_ = failureText(error);
        }
    }
}

void SystemAudioRecorder::noteSourceFailure(const QString& reason)
{
    const std::lock_guard lock(summaryLock_);
    if (!trackEnded_ && !interruption_)
        interruption_ = TrackInterruption{lastAppendedAt_, reason};
}

void SystemAudioRecorder::append(const AudioSampleBuffer& buffer)
{
    if (!buffer.valid || trackEnded_)
        return;
    const QDateTime now = clock_();

    if (!writer_) {
        try {
            writer_ = makeWriter(outputPath_, u"Cannot add system audio input"_s);
        } catch (const EbbcastError& error) {
            // Without the full file there is no track; nothing is gained by trying on every buffer.
            logger_.error(u"System audio write failed: "_s + error.description());
            endTrack(error.description());
            return;
        }
    }
    if (chunkFolder_ && !chunkWriter_ && (!chunkRetryAt_ || now >= *chunkRetryAt_))
        trySetUpChunkWriter(chunkIndex_ == 0 ? u"System audio write failed: "_s
                                             : u"System audio chunk rotation failed: "_s,
                            now);

    if (timelineStart_) {
        const QDateTime firstSampleAt = now.addMSecs(-std::llround(secondsIn(buffer) * 1000.0));
        const double gap = static_cast<double>(timelineStart_->msecsTo(firstSampleAt)) / 1000.0;
        if (gap > 0 && buffer.sampleRate > 0 && buffer.channelCount > 0) {
            AudioSampleBuffer silence = buffer;
            const auto frames = static_cast<qsizetype>(std::llround(gap * buffer.sampleRate));
            silence.data = QByteArray(frames * buffer.channelCount * 2, '\0');
            silence.presentationTimeSeconds = buffer.presentationTimeSeconds - gap;
            appendToWriters(silence);
            if (chunkWriter_ && chunkIndex_ == 1)
                chunkStartedAt_ = *timelineStart_;
        }
        timelineStart_.reset();
    }
    appendToWriters(buffer);
    if (writerFailure_) {
        const QString reason = *writerFailure_;
        logger_.error(u"System audio write failed: "_s + reason);
        writer_.reset(); // the file keeps what reached it
        endTrack(reason);
        return;
    }

    if (chunkWriter_ && chunkWriterFailure_) {
        // Its finish logs the failure; the next chunk is tried a period later.
        finishChunk();
        chunkRetryAt_ = now.addMSecs(std::llround(timing_.chunkDurationSeconds * 1000.0));
    }
    if (chunkStartedAt_ &&
        static_cast<double>(chunkStartedAt_->msecsTo(now)) / 1000.0 >= timing_.chunkDurationSeconds) {
        finishChunk();
        trySetUpChunkWriter(u"System audio chunk rotation failed: "_s, now);
    }

    bool first = false;
    const float level = levelOf(buffer);
    {
        const std::lock_guard lock(summaryLock_);
        if (!firstBufferAt_) {
            firstBufferAt_ = now;
            first = true;
        }
        ++bufferCount_;
        lastLevel_ = level;
        lastAppendedAt_ = now;
        interruption_.reset(); // buffers arrive again after the source had failed
    }
    if (first)
        logger_.info(u"ScreenCaptureKit system audio buffers are being received"_s);
    if (onLevel)
        onLevel(level);
}

void SystemAudioRecorder::finishChunk()
{
    if (!chunkWriter_ || !chunkStartedAt_ || !chunkPath_)
        return;
    QDateTime endedAt = clock_();
    {
        // A track that stopped early ends its chunk with the last buffer it took, not at the stop.
        const std::lock_guard lock(summaryLock_);
        if ((trackEnded_ || interruption_) && lastAppendedAt_)
            endedAt = std::max(*chunkStartedAt_, std::min(endedAt, *lastAppendedAt_));
    }
    std::shared_ptr<AudioMediaWriter> writer(std::move(chunkWriter_));
    const bool started = chunkDidStart_;
    const std::optional<QString> failure = std::exchange(chunkWriterFailure_, std::nullopt);
    RecordingChunkMetadata chunk;
    chunk.index = chunkIndex_;
    chunk.kind = u"system_audio"_s;
    chunk.startTime = *chunkStartedAt_;
    chunk.endTime = endedAt;
    chunk.duration = static_cast<double>(chunkStartedAt_->msecsTo(endedAt)) / 1000.0;
    chunk.filePath = *chunkPath_;
    chunkStartedAt_.reset();
    chunkPath_.reset();
    chunkDidStart_ = false;

    finishQueue_.async(
        [this, writer = std::move(writer), started, failure, chunk, report = onChunkCompleted]() mutable {
            if (!started) {
                // A chunk opened at rotation that never got a buffer holds no audio: no file, no report.
                writer.reset();
                QFile::remove(chunk.filePath);
                return;
            }
            if (failure) {
                writer.reset(); // closes the file as far as it got
                logger_.error(u"System audio chunk writer failed: "_s + *failure);
                return;
            }
            try {
                writer->finish();
            } catch (const EbbcastError& error) {
                logger_.error(u"System audio chunk writer failed: "_s + failureText(error));
                return;
            }
            if (report)
                report(chunk, chunk.filePath);
        });
}

void SystemAudioRecorder::stopCapture()
{
    if (sourceStarted_) {
        source_->stop();
        sourceStarted_ = false;
    }
    queue_.sync(); // every buffer the source handed over has been handled
    finishChunk();
    if (writer_ && didStart_) {
        std::shared_ptr<AudioMediaWriter> writer(std::move(writer_));
        finishQueue_.async([this, writer] {
            try {
                writer->finish();
            } catch (const EbbcastError& error) {
                logger_.error(u"System audio writer failed: "_s + failureText(error));
            }
        });
    } else if (writer_ && !didStart_) {
        writer_.reset(); // set up for a buffer that never reached it: no file to keep
        QFile::remove(outputPath_);
    }
    finishQueue_.sync();
    if (bufferCount() == 0)
        logger_.error(u"No ScreenCaptureKit system audio buffers were received during this session"_s);
}

SystemAudioCaptureMetadata SystemAudioRecorder::captureMetadata() const
{
    const std::lock_guard lock(summaryLock_);
    const bool capturing = bufferCount_ >= 1;
    return {sourceDescription(),
            capturing ? u"capturing"_s : u"unavailable"_s,
            bufferCount_,
            firstBufferAt_,
            lastLevel_,
            capturing
                ? u"System audio came from ScreenCaptureKit audio sample buffers, not microphone input."_s
                : u"No ScreenCaptureKit system-audio buffers arrived. Microphone audio may still contain "
                  "speaker bleed, but that is not system audio capture."_s};
}

qint64 SystemAudioRecorder::bufferCount() const
{
    const std::lock_guard lock(summaryLock_);
    return bufferCount_;
}

std::optional<QDateTime> SystemAudioRecorder::firstBufferAt() const
{
    const std::lock_guard lock(summaryLock_);
    return firstBufferAt_;
}

std::optional<TrackInterruption> SystemAudioRecorder::interruption() const
{
    const std::lock_guard lock(summaryLock_);
    return interruption_;
}

float SystemAudioRecorder::lastLevel() const
{
    const std::lock_guard lock(summaryLock_);
    return lastLevel_;
}

} // namespace ebbcast
