#include "SystemAudioRecorder.h"

#include "FileError.h"
#include "Logger.h"
#include "RecorderError.h"

#include <QDir>
#include <QFile>

#include <cmath>
#include <cstring>

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

QString failureText(const AudioMediaWriter& writer)
{
    const QString description = writer.errorDescription();
    return description.isEmpty() ? u"unknown error"_s : description;
}

} // namespace

SystemAudioRecorder::SystemAudioRecorder(QString outputPath, std::optional<QString> chunkFolder,
                                         Logger& logger, AudioMediaWriterFactory writerFactory,
                                         WallClock clock, Timing timing)
    : outputPath_(std::move(outputPath))
    , chunkFolder_(std::move(chunkFolder))
    , logger_(logger)
    , writerFactory_(std::move(writerFactory))
    , clock_(std::move(clock))
    , timing_(timing)
{}

SystemAudioRecorder::~SystemAudioRecorder()
{
    finishQueue_.sync();
}

QString SystemAudioRecorder::sourceDescription()
{
    return u"ScreenCaptureKit system audio"_s;
}

std::unique_ptr<AudioMediaWriter> SystemAudioRecorder::makeWriter(const QString& path,
                                                                  const QString& inputFailure)
{
    std::unique_ptr<AudioMediaWriter> writer = writerFactory_(path);
    if (!writer->addAudioInput())
        throw RecorderError::writerSetupFailed(inputFailure);
    return writer;
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
    chunkStartedAt_ = clock_();
    chunkPath_ = path;
}

void SystemAudioRecorder::append(const AudioSampleBuffer& buffer)
{
    if (!buffer.valid)
        return;

    try {
        if (!writer_)
            writer_ = makeWriter(outputPath_, u"Cannot add system audio input"_s);
        if (chunkFolder_ && !chunkWriter_)
            setUpChunkWriter();
    } catch (const EbbcastError& error) {
        logger_.error(u"System audio write failed: "_s + error.description());
        return;
    }

    if (!didStart_) {
        writer_->startWriting(buffer.presentationTimeSeconds);
        didStart_ = true;
    }
    if (writer_->status() == AudioMediaWriter::Status::writing && writer_->isReadyForMoreMediaData())
        writer_->append(buffer);

    if (chunkWriter_) {
        if (!chunkDidStart_) {
            chunkWriter_->startWriting(buffer.presentationTimeSeconds);
            chunkDidStart_ = true;
        }
        if (chunkWriter_->status() == AudioMediaWriter::Status::writing &&
            chunkWriter_->isReadyForMoreMediaData())
            chunkWriter_->append(buffer);
    }
    if (chunkStartedAt_ &&
        static_cast<double>(chunkStartedAt_->msecsTo(clock_())) / 1000.0 >= timing_.chunkDurationSeconds) {
        finishChunk();
        try {
            setUpChunkWriter();
        } catch (const EbbcastError& error) {
            logger_.error(u"System audio chunk rotation failed: "_s + error.description());
        }
    }

    bool first = false;
    const float level = levelOf(buffer);
    {
        const std::lock_guard lock(summaryLock_);
        if (!firstBufferAt_) {
            firstBufferAt_ = clock_();
            first = true;
        }
        ++bufferCount_;
        lastLevel_ = level;
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
    const QDateTime endedAt = clock_();
    chunkWriter_->markAsFinished();
    std::shared_ptr<AudioMediaWriter> writer(std::move(chunkWriter_));
    const bool started = chunkDidStart_;
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

    finishQueue_.async([this, writer, started, chunk, report = onChunkCompleted] {
        writer->finishWriting();
        if (!started) {
            // A chunk opened at rotation that never got a buffer holds no audio: no file, no report.
            QFile::remove(chunk.filePath);
            return;
        }
        if (writer->status() == AudioMediaWriter::Status::failed) {
            logger_.error(u"System audio chunk writer failed: "_s + failureText(*writer));
            return;
        }
        if (report)
            report(chunk, chunk.filePath);
    });
}

void SystemAudioRecorder::stop()
{
    if (writer_)
        writer_->markAsFinished();
    finishChunk();
    if (writer_ && didStart_ && writer_->status() == AudioMediaWriter::Status::writing) {
        std::shared_ptr<AudioMediaWriter> writer(std::move(writer_));
        finishQueue_.async([this, writer] {
            writer->finishWriting();
            if (writer->status() == AudioMediaWriter::Status::failed)
                logger_.error(u"System audio writer failed: "_s + failureText(*writer));
        });
    } else if (writer_ && !didStart_) {
        writer_.reset(); // set up for a buffer that never reached it: no file to keep
        QFile::remove(outputPath_);
    }
    finishQueue_.sync();
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

float SystemAudioRecorder::lastLevel() const
{
    const std::lock_guard lock(summaryLock_);
    return lastLevel_;
}

} // namespace ebbcast
