#include "capture/WrapUpRecorder.h"

#include "capture/CameraError.h"
#include "capture/PermissionManager.h"
#include "capture/WrapUpError.h"
#include "core/base/FileError.h"
#include "core/base/Logger.h"
#include "core/base/WorkerTask.h"
#include "core/documents/WrapUpMetadata.h"
#include "core/json/JsonDocumentFile.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <filesystem>
#include <system_error>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr std::uint32_t microphoneBufferFrames = 1024;
// A movie this small holds no picture a person could watch.
constexpr qint64 smallestPlayableMovie = 1024;

QString secondsText(std::chrono::milliseconds duration)
{
    return QString::number(static_cast<double>(duration.count()) / 1000.0, 'g', 6);
}

} // namespace

WrapUpRecorder::WrapUpRecorder(QString recordingsFolder, PermissionManager& permissions, Logger& logger,
                               std::unique_ptr<CameraSource> camera,
                               std::unique_ptr<AudioInputEngine> microphone, WrapUpMovieWriterFactory writers,
                               WallClock clock, WrapUpTimeouts timeouts)
    : recordingsFolder_(std::move(recordingsFolder))
    , permissions_(permissions)
    , logger_(logger)
    , camera_(std::move(camera))
    , microphone_(std::move(microphone))
    , writers_(std::move(writers))
    , clock_(std::move(clock))
    , timeouts_(timeouts)
{}

WrapUpRecorder::~WrapUpRecorder()
{
    // A release that hangs is waited for: its thread uses the devices and the movie.
    release_.waitForFinished();
    if (state_ != State::idle && note_.devicesOpened)
        releaseDevices();
}

QCoro::Task<QString> WrapUpRecorder::start(std::optional<QString> folder)
{
    if (state_ != State::idle)
        throw WrapUpError::alreadyRecording();
    state_ = State::starting;
    std::exception_ptr failure;
    QString moviePath;
    try {
        moviePath = co_await startSteps(std::move(folder));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        co_await abandonStart();
        startSettledWaiters_.resumeAll(this);
        std::rethrow_exception(failure);
    }
    state_ = State::recording;
    logger_.info(u"Wrap-up note started: "_s + moviePath);
    startSettledWaiters_.resumeAll(this);
    co_return moviePath;
}

QCoro::Task<QString> WrapUpRecorder::startSteps(std::optional<QString> folder)
{
    note_ = Note{};
    note_.generation = ++generations_;
    began_ = false;
    startFailed_ = false;
    co_await permissions_.validateForWrapUp();
    if (release_.isRunning()) {
        logger_.error(
            u"Wrap-up note cannot start: the last note's camera and microphone are still being released"_s);
        throw WrapUpError::captureSetupFailed();
    }

    CameraDevice device;
    co_await runOnWorker([this, &device] { checkDevices(device); });
    note_.folder = chooseFolder(folder);
    note_.moviePath = freeMoviePath(note_.folder);
    note_.devicesOpened = true;
    co_await runOnWorker([this, &device] { openDevices(device); });

    if (onSessionReady) {
        try {
            onSessionReady(previewFeed_);
        } catch (...) {
            logger_.error(u"Wrap-up preview failed; continuing without preview: "_s +
                          describeError(std::current_exception()));
        }
    }

    note_.startedAt = clock_();
    {
        const std::lock_guard lock(writerMutex_);
        accepting_ = true;
        writerGeneration_ = note_.generation;
        writerPath_ = note_.moviePath;
        writerAudioFormat_ = note_.microphoneFormat;
        writer_.reset();
        writerFailure_.reset();
        framesWritten_ = 0;
    }
    co_await runOnWorker([this] { startDevices(); });

    const std::uint64_t generation = note_.generation;
    QTimer::singleShot(timeouts_.start, this, [this, generation] { startTimedOut(generation); });
    co_await ParkOn{startWaiters_, began_ || startFailed_};
    if (!began_)
        throw WrapUpError::recordingDidNotStart();
    const QString moviePath = note_.moviePath;
    co_return moviePath;
}

void WrapUpRecorder::checkDevices(CameraDevice& device)
{
    const std::optional<CameraDevice> camera = camera_->defaultDevice();
    if (!camera) {
        logger_.error(u"Wrap-up note: no camera found"_s);
        throw WrapUpError::noCamera();
    }
    device = *camera;
    const AudioInputFormat format = microphone_->inputFormat();
    if (format.sampleRate <= 0 || format.channelCount <= 0) {
        logger_.error(u"Wrap-up note: no microphone found (no sound server or no input)"_s);
        throw WrapUpError::noMicrophone();
    }
    note_.microphoneFormat = format;
}

void WrapUpRecorder::openDevices(const CameraDevice& device)
{
    try {
        const CameraMode mode = camera_->open(device);
        logger_.info(u"Wrap-up camera \"%1\" (%2) opened at %3x%4, %5 fps, %6"_s.arg(device.name, device.id)
                         .arg(mode.width)
                         .arg(mode.height)
                         .arg(mode.framesPerSecond)
                         .arg(mode.pixelFormat));
    } catch (const CameraError& error) {
        logger_.error(u"Could not open the camera \"%1\" (%2) for the wrap-up note: %3"_s.arg(
            device.name, device.id, error.description()));
        throw WrapUpError::captureSetupFailed();
    }
}

void WrapUpRecorder::startDevices()
{
    try {
        camera_->start([this](const CameraFrame& frame) { handleFrame(frame); },
                       [this](const QString& reason) { handleCameraStopped(reason); });
    } catch (const CameraError& error) {
        logger_.error(u"Could not start the camera for the wrap-up note: "_s + error.description());
        throw WrapUpError::captureSetupFailed();
    }
    try {
        microphone_->installTap(microphoneBufferFrames, note_.microphoneFormat,
                                [this](const AudioInputBuffer& buffer) { handleSound(buffer); });
        microphone_->prepare();
        microphone_->start();
    } catch (const EbbcastError& error) {
        logger_.error(u"Could not start the microphone for the wrap-up note: "_s + error.description());
        throw WrapUpError::captureSetupFailed();
    }
}

std::optional<QString> WrapUpRecorder::releaseDevices()
{
    // Once the devices have stopped no handler runs, so the writer is this thread's alone.
    camera_->stop();
    microphone_->stop();
    microphone_->removeTap();
    std::unique_ptr<WrapUpMovieWriter> writer;
    std::optional<QString> failure;
    {
        const std::lock_guard lock(writerMutex_);
        accepting_ = false;
        writer = std::move(writer_);
        failure = writerFailure_;
    }
    if (writer && !failure) {
        try {
            writer->finish();
        } catch (const EbbcastError& error) {
            failure = error.description();
        }
    }
    return failure; // the writer closes the file as far as it got
}

QCoro::Task<> WrapUpRecorder::abandonStart()
{
    const std::uint64_t generation = note_.generation;
    if (note_.devicesOpened && !release_.isRunning()) {
        release_ = QtConcurrent::run([this] { return releaseDevices(); });
        QFuture<std::optional<QString>> released = release_;
        co_await released;
    }
    if (generation == note_.generation)
        removeLeftovers();
    state_ = State::idle;
    previewFeed_.clear();
}

void WrapUpRecorder::removeLeftovers()
{
    // The movie's name was free when the start chose it, so a file there now is this start's.
    if (!note_.moviePath.isEmpty() && QFileInfo::exists(note_.moviePath)) {
        if (!QFile::remove(note_.moviePath))
            logger_.error(u"Could not remove the unfinished wrap-up movie \""_s + note_.moviePath + u'"');
    }
    if (note_.folderCreated)
        QDir().rmdir(note_.folder); // only when empty: never anything else the folder holds
}

QString WrapUpRecorder::chooseFolder(const std::optional<QString>& folder)
{
    const QString path = folder
                             ? *folder
                             : recordingsFolder_ + u'/' +
                                   clock_().toLocalTime().toString(u"yyyy-MM-dd_HH-mm-ss"_s) + u"_wrap-up"_s;
    note_.folderCreated = !QFileInfo::exists(path);
    std::error_code error;
    std::filesystem::create_directories(path.toStdString(), error);
    if (error || !QFileInfo(path).isDir()) {
        const QString reason =
            error ? QString::fromLocal8Bit(error.message().c_str()) : u"it is not a folder"_s;
        note_.folderCreated = false;
        logger_.error(u"Could not create the wrap-up folder \""_s + path + u"\": "_s + reason);
        throw FileError(FileError::Code::createDirectoryFailed, path, reason);
    }
    return QFileInfo(path).absoluteFilePath();
}

QString WrapUpRecorder::freeMoviePath(const QString& folder)
{
    const QDir dir(folder);
    for (int n = 0;; ++n) {
        const QString name = n == 0 ? u"wrap_up.mov"_s : u"wrap_up_%1.mov"_s.arg(n);
        const QString path = dir.filePath(name);
        if (!QFileInfo::exists(path) && !QFileInfo::exists(WrapUpMetadata::pathFor(path)))
            return path;
    }
}

void WrapUpRecorder::handleFrame(const CameraFrame& frame)
{
    previewFeed_.publish(frame);
    bool first = false;
    std::optional<QString> failed;
    std::uint64_t generation = 0;
    {
        const std::lock_guard lock(writerMutex_);
        if (!accepting_ || writerFailure_)
            return;
        generation = writerGeneration_;
        try {
            if (!writer_) {
                writer_ = writers_(writerPath_, frame.width, frame.height, writerAudioFormat_);
                firstFrameSeconds_ = frame.captureTimeSeconds;
            }
            if (writer_->appendVideo(frame, frame.captureTimeSeconds - firstFrameSeconds_))
                first = framesWritten_.fetch_add(1) == 0;
        } catch (const EbbcastError& error) {
            writerFailure_ = error.description();
            failed = writerFailure_;
        }
    }
    if (first)
        QMetaObject::invokeMethod(
            this, [this, generation] { recordingBegan(generation); }, Qt::QueuedConnection);
    if (failed) {
        QMetaObject::invokeMethod(
            this, [this, generation, reason = *failed] { writerFailed(generation, reason); },
            Qt::QueuedConnection);
    }
}

void WrapUpRecorder::handleSound(const AudioInputBuffer& buffer)
{
    // The buffer's first sample was captured its length before it arrived.
    const double arrival = monotonicSeconds();
    std::optional<QString> failed;
    std::uint64_t generation = 0;
    {
        const std::lock_guard lock(writerMutex_);
        if (!accepting_ || !writer_ || writerFailure_ || writerAudioFormat_.sampleRate <= 0)
            return;
        generation = writerGeneration_;
        const double start =
            arrival - buffer.frameLength / writerAudioFormat_.sampleRate - firstFrameSeconds_;
        try {
            writer_->appendAudio(buffer, start);
        } catch (const EbbcastError& error) {
            writerFailure_ = error.description();
            failed = writerFailure_;
        }
    }
    if (failed) {
        QMetaObject::invokeMethod(
            this, [this, generation, reason = *failed] { writerFailed(generation, reason); },
            Qt::QueuedConnection);
    }
}

void WrapUpRecorder::handleCameraStopped(const QString& reason)
{
    std::uint64_t generation = 0;
    {
        const std::lock_guard lock(writerMutex_);
        generation = writerGeneration_;
    }
    QMetaObject::invokeMethod(
        this,
        [this, generation, reason] {
            if (generation != note_.generation || state_ == State::idle)
                return;
            logger_.error(u"Wrap-up camera stopped: "_s + reason);
            if (state_ == State::starting && !began_ && !startFailed_) {
                startFailed_ = true;
                startWaiters_.resumeAll(this);
            }
        },
        Qt::QueuedConnection);
}

void WrapUpRecorder::recordingBegan(std::uint64_t generation)
{
    if (state_ != State::starting || generation != note_.generation || began_ || startFailed_)
        return;
    began_ = true;
    startWaiters_.resumeAll(this);
}

void WrapUpRecorder::writerFailed(std::uint64_t generation, const QString& reason)
{
    if (generation != note_.generation)
        return;
    logger_.error(u"Wrap-up movie could not be written: "_s + reason);
    if (state_ == State::starting && !began_ && !startFailed_) {
        startFailed_ = true;
        startWaiters_.resumeAll(this);
    }
}

void WrapUpRecorder::startTimedOut(std::uint64_t generation)
{
    if (state_ != State::starting || generation != note_.generation || began_ || startFailed_)
        return;
    logger_.error(
        u"Wrap-up note did not begin recording within %1 seconds"_s.arg(secondsText(timeouts_.start)));
    startFailed_ = true;
    startWaiters_.resumeAll(this);
}

QCoro::Task<WrapUpOutcome> WrapUpRecorder::stop()
{
    if (state_ == State::starting)
        co_await ParkOn{startSettledWaiters_, false};
    if (state_ == State::idle) {
        WrapUpOutcome nothing;
        co_return nothing;
    }
    if (state_ == State::recording) {
        state_ = State::stopping;
        const std::uint64_t generation = note_.generation;
        release_ = QtConcurrent::run([this] { return releaseDevices(); });
        // A release already done when the continuation is attached runs it at once, in this call: the
        // finish is posted, so that it always comes after this stop has parked.
        release_.then(this, [this, generation](const std::optional<QString>& failure) {
            QMetaObject::invokeMethod(
                this, [this, generation, failure] { finishRecording(generation, failure); },
                Qt::QueuedConnection);
        });
        QTimer::singleShot(timeouts_.stop, this, [this, generation] { stopTimedOut(generation); });
    }
    co_await ParkOn{stopWaiters_, false};
    WrapUpOutcome outcome = lastOutcome_.value_or(WrapUpOutcome{});
    co_return outcome;
}

void WrapUpRecorder::stopTimedOut(std::uint64_t generation)
{
    if (state_ != State::stopping || generation != note_.generation)
        return;
    logger_.error(u"Wrap-up stop timed out; forcing capture-session cleanup"_s);
    finishRecording(generation, WrapUpError::stopTimedOut().description());
}

bool WrapUpRecorder::moviePlayable(const QString& path) const
{
    const QFileInfo movie(path);
    return movie.isFile() && movie.size() > smallestPlayableMovie && framesWritten_ > 0;
}

void WrapUpRecorder::finishRecording(std::uint64_t generation, std::optional<QString> error)
{
    // A finish for a note already finished (a late one after a time-out) changes nothing.
    if (state_ != State::stopping || generation != note_.generation)
        return;
    WrapUpOutcome outcome;
    outcome.folder = note_.folder;
    const QString path = note_.moviePath;
    if (QFileInfo::exists(path))
        outcome.moviePath = path;
    if (error && !moviePlayable(path)) {
        logger_.error(u"Wrap-up note failed: "_s + *error);
        outcome.failure = *error;
    } else if (!QFileInfo::exists(path)) {
        outcome.failure = u"Wrap-up note did not produce a file."_s;
        logger_.error(u"Wrap-up note failed: "_s + outcome.failure);
    } else {
        outcome.metadataPath = writeMetadata(path);
        outcome.recorded = true;
        logger_.info(u"Wrap-up note stopped: "_s + path);
    }
    state_ = State::idle;
    previewFeed_.clear();
    lastOutcome_ = outcome;
    stopWaiters_.resumeAll(this);
}

QString WrapUpRecorder::writeMetadata(const QString& moviePath)
{
    if (!note_.startedAt.isValid())
        return {};
    const WrapUpMetadata metadata = WrapUpMetadata::forMovie(moviePath, note_.startedAt, clock_());
    const QString path = WrapUpMetadata::pathFor(moviePath);
    try {
        JsonDocumentFile::write(path, metadata.toJson());
        return path;
    } catch (const EbbcastError& error) {
        logger_.error(u"Failed to write wrap-up metadata: "_s + error.description());
        return {};
    }
}

} // namespace ebbcast
