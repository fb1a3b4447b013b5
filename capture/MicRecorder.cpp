#include "capture/MicRecorder.h"

#include "capture/AudioLevel.h"
#include "core/base/EbbcastError.h"
#include "core/base/FileError.h"
#include "core/base/Logger.h"
#include "core/base/WorkerTask.h"
#include "core/json/ShortestNumber.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// A rate such as 48000 printed as "48000.0": always at least one fractional digit.
QString decimalWithFraction(double value)
{
    QString text = QString::fromLatin1(ShortestNumber::format(value));
    if (!text.contains(u'.') && !text.contains(u'e'))
        text += u".0"_s;
    return text;
}

QString oneDecimal(double value)
{
    return QString::asprintf("%.1f", value);
}

double secondsBetween(const QDateTime& from, const QDateTime& to)
{
    return std::max(0.0, static_cast<double>(from.msecsTo(to)) / 1000.0);
}

// Wall time and written audio drift apart when buffers are lost or arrive too fast.
bool diverges(double wall, double audio)
{
    return std::fabs(wall - audio) > std::max(2.0, wall * 0.05);
}

} // namespace

MicRecorder::MicRecorder(QString outputPath, QString preferredDeviceName, Logger& logger,
                         std::unique_ptr<AudioInputEngine> engine, PcmFileWriterFactory writerFactory,
                         WallClock clock, Timing timing)
    : outputPath_(std::move(outputPath))
    , preferredDeviceName_(std::move(preferredDeviceName))
    , logger_(logger)
    , engine_(std::move(engine))
    , writerFactory_(std::move(writerFactory))
    , clock_(std::move(clock))
    , timing_(timing)
    , deviceName_(u"Default microphone"_s)
{}

MicRecorder::~MicRecorder()
{
    bool recording = false;
    {
        const std::lock_guard lock(stateLock_);
        recording = isRecording_;
    }
    if (recording || file_)
        stopCapture();
}

QString MicRecorder::trackName() const
{
    return u"the microphone"_s;
}

QCoro::Task<> MicRecorder::prepare(SessionMetadata& document)
{
    document.audioDevices.microphone = deviceName();
    co_return;
}

QCoro::Task<> MicRecorder::start(const QDateTime& timelineStart)
{
    co_await runOnWorker([this, &timelineStart] { startCapture(sessionChunkFolder_, timelineStart); });
}

QCoro::Task<> MicRecorder::stop()
{
    co_await runOnWorker([this] { stopCapture(); });
}

QString MicRecorder::deviceName() const
{
    const std::lock_guard lock(stateLock_);
    return deviceName_;
}

std::optional<TrackInterruption> MicRecorder::interruption() const
{
    const std::lock_guard lock(stateLock_);
    return interruption_;
}

std::int64_t MicRecorder::framesWritten() const
{
    const std::lock_guard lock(stateLock_);
    return fullFrameCount_;
}

double MicRecorder::secondsFor(std::int64_t frames, double sampleRate) const
{
    return sampleRate > 0 ? static_cast<double>(frames) / sampleRate : 0.0;
}

void MicRecorder::startCapture(const std::optional<QString>& chunkFolder,
                               const std::optional<QDateTime>& timelineStart)
{
    const AudioInputFormat format = engine_->inputFormat();
    file_ = writerFactory_(outputPath_, format);

    try {
        chunkFolder_ = chunkFolder;
        if (chunkFolder_) {
            if (!QDir().mkpath(*chunkFolder_)) {
                throw FileError(FileError::Code::createDirectoryFailed, *chunkFolder_,
                                u"the folder or one of its parents could not be created"_s);
            }
            beginChunk(format);
        }
    } catch (...) {
        // A failed start leaves no file open and no empty file behind.
        file_.reset();
        chunkFile_.reset();
        QFile::remove(outputPath_);
        chunkFolder_.reset();
        chunkStartedAt_.reset();
        throw;
    }

    {
        const std::lock_guard lock(stateLock_);
        deviceName_ = preferredDeviceName_.isEmpty() ? u"Default microphone"_s : preferredDeviceName_;
        sampleRate_ = format.sampleRate;
        fullFrameCount_ = 0;
        chunkFrameCount_ = 0;
        // Wall time and written audio are compared from where the audio begins.
        recordingStartedAt_ = timelineStart ? std::min(*timelineStart, clock_()) : clock_();
        lastBufferAt_.reset();
        lastDiagnosticLogAt_.reset();
        trackStopped_ = false;
        interruption_.reset();
        isRecording_ = true;
    }

    logger_.info(u"Microphone recorder starting: preferredDeviceRequested="_s +
                 (preferredDeviceName_.isEmpty() ? u"none"_s : preferredDeviceName_) + u", "_s +
                 u"actualDevice=system default (AVAudioEngine explicit routing is not implemented), "_s +
                 u"sampleRate="_s + decimalWithFraction(format.sampleRate) + u", channels="_s +
                 QString::number(format.channelCount) + u", "_s + u"commonFormat="_s +
                 QString::number(format.commonFormat) + u", interleaved="_s +
                 (format.interleaved ? u"true"_s : u"false"_s));

    timelineStart_ = timelineStart;
    engine_->installTap(tapBufferFrames, format,
                        [this, format](const AudioInputBuffer& buffer) { handleBuffer(buffer, format); });
    try {
        engine_->prepare();
        engine_->start();
    } catch (...) {
        engine_->removeTap();
        markRecordingStopped();
        // Nothing was recorded: the files hold only their headers and would look like a session's audio.
        const QString chunkPath = chunkFile_ ? chunkFile_->path() : QString();
        file_.reset();
        chunkFile_.reset();
        QFile::remove(outputPath_);
        if (!chunkPath.isEmpty())
            QFile::remove(chunkPath);
        throw;
    }

    engine_->setConfigurationChangeHandler([this] {
        logger_.info(u"Microphone audio configuration changed; checking input engine"_s);
        requestEngineRestart();
    });
    watchdog_ = watchdogQueue_.scheduleRepeating(timing_.watchdogFirstCheck, timing_.watchdogInterval,
                                                 [this] { watchdogCheck(); });
}

void MicRecorder::beginChunk(const AudioInputFormat& format)
{
    if (!chunkFolder_)
        return;
    ++chunkIndex_;
    const QString path = *chunkFolder_ + u'/' +
                         QString::asprintf("mic_chunk_%04lld", static_cast<long long>(chunkIndex_)) +
                         u".wav"_s;
    chunkFile_ = writerFactory_(path, format);
    chunkStartedAt_ = clock_(); // until its first buffer tells when its audio begins
    chunkHasAudio_ = false;
    const std::lock_guard lock(stateLock_);
    chunkFrameCount_ = 0;
}

void MicRecorder::tryBeginChunk(const AudioInputFormat& format)
{
    try {
        beginChunk(format);
        chunkRetryAtFrames_.reset();
    } catch (const EbbcastError& error) {
        logger_.error(u"Microphone chunk rotation failed: "_s + error.description());
        scheduleChunkRetry();
    }
}

void MicRecorder::scheduleChunkRetry()
{
    double sampleRate = 0;
    {
        const std::lock_guard lock(stateLock_);
        sampleRate = sampleRate_;
    }
    chunkRetryAtFrames_ = deliveredFrames_ + std::llround(timing_.chunkDurationSeconds * sampleRate);
}

void MicRecorder::endTrack(const QString& reason)
{
    trackEnded_ = true;
    finishChunk();
    file_.reset();
    chunkFile_.reset();
    const std::lock_guard lock(stateLock_);
    trackStopped_ = true;
    interruption_ = TrackInterruption{lastWrittenAt_, reason};
}

MicRecorder::Written MicRecorder::writeToFiles(const AudioInputBuffer& buffer)
{
    Written written;
    if (file_) {
        try {
            file_->write(buffer);
            written.full = buffer.frameLength;
        } catch (const EbbcastError& error) {
            // A full file that cannot be written (a full disk) will not recover by itself: the track ends
            // here with one line instead of one per buffer, and what was written stays playable.
            logger_.error(u"Microphone full-file write failed: "_s + error.description());
            endTrack(error.description());
            written.trackEnded = true;
            return written;
        }
    }
    if (chunkFile_) {
        try {
            chunkFile_->write(buffer);
            written.chunk = buffer.frameLength;
        } catch (const EbbcastError& error) {
            logger_.error(u"Microphone chunk write failed: "_s + error.description());
            finishChunk();
            chunkFile_.reset();
            scheduleChunkRetry();
        }
    }
    return written;
}

MicRecorder::Written MicRecorder::writeLeadingSilence(const QDateTime& firstSampleAt,
                                                      const AudioInputFormat& format)
{
    Written total;
    const double gapSeconds = static_cast<double>(timelineStart_->msecsTo(firstSampleAt)) / 1000.0;
    if (!(gapSeconds > 0) || !(format.sampleRate > 0) || format.channelCount <= 0)
        return total;
    auto remaining = static_cast<std::int64_t>(std::llround(gapSeconds * format.sampleRate));
    // Once per session, before the first real buffer: the only allocation outside a rotation.
    const std::vector<float> silence(static_cast<size_t>(tapBufferFrames) * format.channelCount, 0.0F);
    while (remaining > 0 && !total.trackEnded) {
        const auto frames = static_cast<std::uint32_t>(std::min<std::int64_t>(remaining, tapBufferFrames));
        const Written written = writeToFiles(AudioInputBuffer{silence.data(), frames, format.channelCount});
        total.full += written.full;
        total.chunk += written.chunk;
        total.trackEnded = written.trackEnded;
        remaining -= frames;
    }
    if (total.chunk > 0) {
        chunkStartedAt_ = *timelineStart_;
        chunkHasAudio_ = true;
    }
    return total;
}

void MicRecorder::handleBuffer(const AudioInputBuffer& buffer, const AudioInputFormat& format)
{
    if (trackEnded_)
        return;
    const QDateTime now = clock_();
    // The buffer's first sample was captured one buffer length before it arrived. Needed only at the start
    // of the track and of each chunk.
    const auto firstSampleAt = [&] {
        return now.addMSecs(-std::llround(secondsFor(buffer.frameLength, format.sampleRate) * 1000.0));
    };
    Written written;
    if (timelineStart_) {
        written = writeLeadingSilence(firstSampleAt(), format);
        timelineStart_.reset();
    }
    if (!written.trackEnded) {
        const Written own = writeToFiles(buffer);
        written.full += own.full;
        written.chunk += own.chunk;
        written.trackEnded = own.trackEnded;
    }
    if (written.trackEnded)
        return;

    double sampleRate = 0;
    std::int64_t chunkFrames = 0;
    {
        const std::lock_guard lock(stateLock_);
        lastBufferAt_ = now;
        fullFrameCount_ += written.full;
        chunkFrameCount_ += written.chunk;
        sampleRate = sampleRate_;
        chunkFrames = chunkFrameCount_;
        if (written.full > 0)
            interruption_.reset(); // the input came back after a failed restart
    }
    deliveredFrames_ += buffer.frameLength;
    if (written.full > 0)
        lastWrittenAt_ = now;
    if (written.chunk > 0 && !chunkHasAudio_) {
        chunkStartedAt_ = firstSampleAt();
        chunkHasAudio_ = true;
    }

    if (chunkFile_) {
        if (sampleRate > 0 && static_cast<double>(chunkFrames) / sampleRate >= timing_.chunkDurationSeconds) {
            finishChunk();
            tryBeginChunk(format);
        }
    } else if (chunkRetryAtFrames_ && deliveredFrames_ >= *chunkRetryAtFrames_) {
        tryBeginChunk(format);
    }

    if (onLevel)
        onLevel(AudioLevel::ofFirstChannel(buffer));
}

void MicRecorder::finishChunk()
{
    if (!chunkFile_ || !chunkStartedAt_)
        return;
    const QDateTime now = clock_();
    double audio = 0;
    {
        const std::lock_guard lock(stateLock_);
        audio = secondsFor(chunkFrameCount_, sampleRate_);
    }
    const QDateTime startedAt = *chunkStartedAt_;
    const double wall = secondsBetween(startedAt, now);
    const QString path = chunkFile_->path();
    chunkFile_.reset();
    chunkStartedAt_.reset();
    chunkHasAudio_ = false;

    if (diverges(wall, audio)) {
        logger_.error(u"Microphone chunk "_s + QString::number(chunkIndex_) +
                      u" wall/audio duration divergence: "_s + u"wall="_s + oneDecimal(wall) +
                      u"s, audio="_s + oneDecimal(audio) + u"s"_s);
    }

    RecordingChunkMetadata chunk;
    chunk.index = chunkIndex_;
    chunk.kind = u"microphone"_s;
    chunk.startTime = startedAt;
    chunk.endTime = startedAt.addMSecs(std::llround(audio * 1000.0));
    chunk.duration = audio;
    chunk.filePath = path;
    if (onChunkCompleted)
        onChunkCompleted(chunk, path);
}

void MicRecorder::watchdogCheck()
{
    const QDateTime now = clock_();
    double sinceBuffer = 0;
    double wall = 0;
    double audio = 0;
    bool stalled = false;
    {
        const std::lock_guard lock(stateLock_);
        if (!isRecording_ || !recordingStartedAt_ || trackStopped_)
            return;
        sinceBuffer = secondsBetween(lastBufferAt_.value_or(*recordingStartedAt_), now);
        wall = secondsBetween(*recordingStartedAt_, now);
        audio = secondsFor(fullFrameCount_, sampleRate_);
        const bool diverged = wall >= 10 && diverges(wall, audio);
        stalled = sinceBuffer >= timing_.stallThresholdSeconds;
        if (!stalled && !diverged)
            return;
        if (lastDiagnosticLogAt_ && static_cast<double>(lastDiagnosticLogAt_->msecsTo(now)) / 1000.0 <
                                        timing_.stallLogIntervalSeconds)
            return;
        lastDiagnosticLogAt_ = now;
    }
    if (!stalled) {
        logger_.error(u"Microphone wall/audio duration divergence while recording: "_s + u"wall="_s +
                      oneDecimal(wall) + u"s, audioWritten="_s + oneDecimal(audio) + u"s"_s);
        return;
    }
    logger_.error(u"Microphone buffer flow stalled for "_s + oneDecimal(sinceBuffer) +
                  u"s while recording; "_s + u"wall="_s + oneDecimal(wall) + u"s, audioWritten="_s +
                  oneDecimal(audio) + u"s"_s);
    requestEngineRestart();
}

void MicRecorder::requestEngineRestart()
{
    {
        const std::lock_guard lock(stateLock_);
        if (!isRecording_ || isRecovering_ || trackStopped_)
            return;
        isRecovering_ = true;
    }
    watchdogQueue_.async([this] { restartEngine(); });
}

void MicRecorder::restartEngine()
{
    bool recording = false;
    {
        const std::lock_guard lock(stateLock_);
        recording = isRecording_;
    }
    if (recording) {
        try {
            engine_->stop();
            engine_->prepare();
            engine_->start();
            logger_.info(u"Microphone input engine restarted after buffer stall or route change"_s);
        } catch (const EbbcastError& error) {
            logger_.error(u"Microphone input engine restart failed: "_s + error.description());
            const std::lock_guard lock(stateLock_);
            if (!interruption_)
                interruption_ = TrackInterruption{lastBufferAt_, error.description()};
        }
    }
    const std::lock_guard lock(stateLock_);
    isRecovering_ = false;
}

void MicRecorder::runWatchdogCheck()
{
    watchdogQueue_.async([this] { watchdogCheck(); });
    watchdogQueue_.sync(); // the check
    watchdogQueue_.sync(); // a restart it queued
}

void MicRecorder::markRecordingStopped()
{
    {
        const std::lock_guard lock(stateLock_);
        isRecording_ = false;
    }
    if (watchdog_) {
        watchdogQueue_.cancelTimer(*watchdog_);
        watchdog_.reset();
    }
}

void MicRecorder::stopCapture()
{
    const QDateTime stoppedAt = clock_();
    markRecordingStopped();
    watchdogQueue_.sync(); // a check or restart already running has finished
    engine_->setConfigurationChangeHandler({});
    engine_->removeTap();
    engine_->stop();
    finishChunk();

    std::optional<QDateTime> startedAt;
    std::int64_t frames = 0;
    double sampleRate = 0;
    {
        const std::lock_guard lock(stateLock_);
        startedAt = recordingStartedAt_;
        frames = fullFrameCount_;
        sampleRate = sampleRate_;
        recordingStartedAt_.reset(); // the summary is written once
    }
    if (startedAt) {
        const double wall = secondsBetween(*startedAt, stoppedAt);
        const double audio = secondsFor(frames, sampleRate);
        logger_.info(u"Microphone recorder stopped: framesWritten="_s + QString::number(frames) +
                     u", sampleRate="_s + decimalWithFraction(sampleRate) + u", "_s + u"audioDuration="_s +
                     oneDecimal(audio) + u"s, wallDuration="_s + oneDecimal(wall) + u"s"_s);
        if (diverges(wall, audio)) {
            logger_.error(u"Microphone full-file wall/audio duration divergence: "_s + u"wall="_s +
                          oneDecimal(wall) + u"s, audio="_s + oneDecimal(audio) + u"s"_s);
        }
    }

    file_.reset();
    chunkFile_.reset();
    chunkFolder_.reset();
    chunkStartedAt_.reset();
}

} // namespace ebbcast
