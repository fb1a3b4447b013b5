#include "capture/ScreenRecorder.h"

#include "capture/RecorderError.h"
#include "core/base/Logger.h"
#include "core/base/WorkerTask.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The reason a writer gave for failing; a log line never ends in nothing.
QString failureText(const EbbcastError& error)
{
    return error.description().isEmpty() ? u"unknown error"_s : error.description();
}

} // namespace

QCoro::Task<> finishWritingAsync(VideoMediaWriter& writer)
{
    co_await runOnWorker([&writer] { writer.finish(); });
}

ScreenRecorder::ScreenRecorder(QString outputPath, quint32 displayID, Logger& logger,
                               std::unique_ptr<ScreenFrameSource> frameSource,
                               VideoMediaWriterFactory writerFactory, WallClock clock)
    : outputPath_(std::move(outputPath))
    , displayID_(displayID)
    , logger_(logger)
    , frameSource_(std::move(frameSource))
    , writerFactory_(std::move(writerFactory))
    , clock_(std::move(clock))
{}

ScreenRecorder::~ScreenRecorder()
{
    // Normally stop() ran; a recorder dropped while capturing at least stops calling in.
    stopSources();
    queue_.sync();
}

QString ScreenRecorder::trackName() const
{
    return u"the screen recording"_s;
}

QCoro::Task<> ScreenRecorder::prepare(SessionMetadata& document)
{
    document.display = co_await prepareDisplay();
}

bool ScreenRecorder::hasRecorded() const
{
    // The writer leaves no movie without a frame in it.
    return QFileInfo::exists(outputPath_);
}

QCoro::Task<DisplayMetadata> ScreenRecorder::prepareDisplay()
{
    const quint32 wanted = displayID_;
    const std::vector<ScreenDisplay> displays =
        co_await runOnWorker([this] { return frameSource_->displays(); });
    if (displays.empty())
        throw RecorderError::noDisplayAvailable();
    auto chosen = displays.end();
    if (wanted != 0)
        chosen = std::find_if(displays.begin(), displays.end(),
                              [wanted](const auto& d) { return d.id == wanted; });
    if (chosen == displays.end())
        chosen = std::find_if(displays.begin(), displays.end(), [](const auto& d) { return d.isMain; });
    if (chosen == displays.end())
        chosen = displays.begin();
    selectedDisplay_ = *chosen;

    const int width = chosen->width - chosen->width % 2;
    const int height = chosen->height - chosen->height % 2;
    try {
        writer_ = writerFactory_(outputPath_, width, height);
    } catch (const RecorderError& error) {
        if (error.code() == RecorderError::Code::writerSetupFailed) // the encoder would not take the input
            throw RecorderError::writerSetupFailed(u"Cannot add screen video input"_s);
        throw;
    }
    writerFailure_.reset();
    co_return DisplayMetadata{chosen->id, width, height, std::nullopt};
}

QCoro::Task<> ScreenRecorder::start(const QDateTime& timelineStart)
{
    Q_UNUSED(timelineStart);
    if (!selectedDisplay_)
        throw RecorderError::noDisplayAvailable();
    co_await runOnWorker([this] {
        frameSource_->start(
            *selectedDisplay_, maximumFramesPerSecond,
            [this](const ScreenFrame& frame) { enqueueFrame(frame); },
            [this](const QString& description) {
                logger_.error(u"ScreenCaptureKit stream stopped with error: "_s + description);
                queue_.async([this, description] { noteInterruption(description); });
            });
    });
    capturing_ = true;
}

void ScreenRecorder::enqueueFrame(const ScreenFrame& frame)
{
    if (waitingFrames_.fetch_add(1) >= queueDepth) {
        waitingFrames_.fetch_sub(1); // the queue is full: this frame is dropped
        return;
    }
    queue_.async([this, frame] {
        waitingFrames_.fetch_sub(1);
        handleFrame(frame);
    });
}

void ScreenRecorder::handleFrame(const ScreenFrame& frame)
{
    if (!writer_ || !frame.hasImage() || writerFailure_)
        return;
    if (!firstVideoPTS_)
        firstVideoPTS_ = frame.presentationTimeSeconds; // the movie starts at zero with this frame
    try {
        if (writer_->append(frame, frame.presentationTimeSeconds - *firstVideoPTS_))
            lastFrameWrittenAt_ = clock_();
    } catch (const EbbcastError& error) {
        writerFailure_ = failureText(error);
        logger_.error(u"Failed appending screen pixel buffer: "_s + *writerFailure_);
        noteInterruption(*writerFailure_);
    }
}

void ScreenRecorder::noteInterruption(const QString& reason)
{
    const std::lock_guard lock(interruptionLock_);
    if (!interruption_)
        interruption_ = TrackInterruption{lastFrameWrittenAt_, reason};
}

std::optional<TrackInterruption> ScreenRecorder::interruption() const
{
    const std::lock_guard lock(interruptionLock_);
    return interruption_;
}

void ScreenRecorder::stopSources()
{
    if (capturing_) {
        try {
            frameSource_->stop();
        } catch (const EbbcastError& error) {
            logger_.error(u"Failed stopping ScreenCaptureKit stream: "_s + error.description());
        }
        capturing_ = false;
    }
}

QCoro::Task<> ScreenRecorder::stop()
{
    co_await runOnWorker([this] {
        stopSources();
        queue_.sync(); // every frame already handed over has been handled
    });

    if (writer_ && writerFailure_) {
        logger_.error(u"Screen video writer failed before finish: "_s + *writerFailure_);
        if (!lastFrameWrittenAt_) {
            // Not even the first frame reached the disk (it was full from the start): the file holds a
            // header and nothing else, and no movie is left to look like a recording.
            writer_.reset();
            QFile::remove(outputPath_);
        }
    } else if (writer_ && firstVideoPTS_) {
        try {
            co_await finishWritingAsync(*writer_);
        } catch (const EbbcastError& error) {
            logger_.error(u"Screen video writer failed: "_s + failureText(error));
        }
    } else if (writer_) {
        // No frame arrived: there is no movie, and no empty file is left to look like one.
        writer_.reset();
        QFile::remove(outputPath_);
    }
    writer_.reset();
    writerFailure_.reset();
    firstVideoPTS_.reset();
    lastFrameWrittenAt_.reset();
}

} // namespace ebbcast
