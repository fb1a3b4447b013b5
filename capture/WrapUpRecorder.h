#pragma once

#include "capture/AudioInputEngine.h"
#include "capture/CameraPreviewFeed.h"
#include "capture/CameraSource.h"
#include "capture/WrapUpMovieWriter.h"
#include "core/base/CoroutineWaiters.h"
#include "core/base/WallClock.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QFuture>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace ebbcast {

class Logger;
class PermissionManager;

// How long a note may take to show its first picture, and to finish once asked to stop.
struct WrapUpTimeouts {
    std::chrono::milliseconds start{5000};
    std::chrono::milliseconds stop{5000};
};

// What a stop left behind, for the session's document and the upload.
struct WrapUpOutcome {
    QString folder;        // where the note was recorded; empty when no note was recording
    QString moviePath;     // the movie written; empty when none was written
    QString metadataPath;  // its document; empty when none was written
    bool recorded = false; // the movie holds pictures and its document was written
    QString failure;       // why the note was not recorded, when it was not
};

// Records a wrap-up note: the default camera and microphone into one movie ("wrap_up.mov", or
// "wrap_up_N.mov" beside earlier notes) in a session folder, or in a new stand-alone folder named by the
// local time ("2026-12-09_14-03-07_wrap-up"), and the document beside it (WrapUpMetadata). The movie begins
// with the first picture: that is when the note began recording. Idle → starting (devices checked, folder and
// name chosen, camera opened, preview offered, waiting at most the start time-out for the first picture) →
// recording → stopping (devices stopped and the movie finished, waited for at most the stop time-out) → idle.
// The camera and the microphone are released at every return to idle. A finishing error (a full disk, an
// encoder failure, a stop that timed out) still counts as a recorded note when the movie is larger than 1,024
// bytes and holds a picture: its document is written. A start that fails leaves no movie and no empty folder
// it made. Main thread: start(), stop(), the callbacks. Pictures are written on the camera's thread and sound
// on the microphone's, one at a time under writerMutex_; the devices are stopped and the movie finished on a
// pool thread.
class WrapUpRecorder : public QObject {
    Q_OBJECT

public:
    WrapUpRecorder(QString recordingsFolder, PermissionManager& permissions, Logger& logger,
                   std::unique_ptr<CameraSource> camera, std::unique_ptr<AudioInputEngine> microphone,
                   WrapUpMovieWriterFactory writers, WallClock clock = systemTime,
                   WrapUpTimeouts timeouts = {});
    ~WrapUpRecorder() override;

    WrapUpRecorder(const WrapUpRecorder&) = delete;
    WrapUpRecorder& operator=(const WrapUpRecorder&) = delete;

    // Where stand-alone notes go; applies at the next start.
    void setRecordingsFolder(const QString& folder) { recordingsFolder_ = folder; }

    // Run on the main thread once the camera is open, before the note starts; shows the preview of the
    // feed. It may throw: the note then records without a preview.
    std::function<void(CameraPreviewFeed&)> onSessionReady;

    // Starts a note in `folder`, or in a new stand-alone folder; returns the movie's path once the first
    // picture is written. Throws WrapUpError, or the permission check's error.
    QCoro::Task<QString> start(std::optional<QString> folder);
    // Stops the note and waits until the movie is finished (at most the stop time-out). Never throws. A stop
    // during a start waits for the start to end, then stops the note it started; a stop while idle returns at
    // once with an empty outcome; overlapping stops all get the same outcome.
    QCoro::Task<WrapUpOutcome> stop();

    // Starting, recording or stopping.
    bool isRecording() const { return state_ != State::idle; }
    CameraPreviewFeed& previewFeed() { return previewFeed_; }

private:
    enum class State { idle, starting, recording, stopping };

    // What one note uses; replaced at every start.
    struct Note {
        std::uint64_t generation = 0;
        QString folder;
        bool folderCreated = false; // this start made the folder
        QString moviePath;
        QDateTime startedAt;
        AudioInputFormat microphoneFormat;
        bool devicesOpened = false; // the camera was asked to open: the devices need releasing
    };

    QCoro::Task<QString> startSteps(std::optional<QString> folder);
    QCoro::Task<> abandonStart();
    // Checks the devices and opens them; blocking, on a pool thread. Throws WrapUpError.
    void checkDevices(CameraDevice& device);
    void openDevices(const CameraDevice& device);
    void startDevices();
    // Stops both devices and finishes the movie; blocking, on a pool thread. The finishing error, if any.
    std::optional<QString> releaseDevices();
    QString chooseFolder(const std::optional<QString>& folder);
    static QString freeMoviePath(const QString& folder);
    void removeLeftovers();

    void handleFrame(const CameraFrame& frame);                                   // camera thread
    void handleSound(const AudioInputBuffer& buffer);                             // microphone thread
    void handleCameraStopped(const QString& reason);                              // camera thread
    void recordingBegan(std::uint64_t generation);                                // main thread
    void writerFailed(std::uint64_t generation, const QString& reason);           // main thread
    void startTimedOut(std::uint64_t generation);                                 // main thread
    void stopTimedOut(std::uint64_t generation);                                  // main thread
    void finishRecording(std::uint64_t generation, std::optional<QString> error); // main thread
    bool moviePlayable(const QString& path) const;
    QString writeMetadata(const QString& moviePath);

    QString recordingsFolder_;
    PermissionManager& permissions_;
    Logger& logger_;
    std::unique_ptr<CameraSource> camera_;
    std::unique_ptr<AudioInputEngine> microphone_;
    WrapUpMovieWriterFactory writers_;
    WallClock clock_;
    WrapUpTimeouts timeouts_;
    CameraPreviewFeed previewFeed_;

    State state_ = State::idle;
    Note note_;
    std::uint64_t generations_ = 0;
    bool began_ = false;                   // the first picture of the starting note is written
    bool startFailed_ = false;             // the starting note timed out or could not be written
    CoroutineWaiters startWaiters_;        // the start waiting for its first picture
    CoroutineWaiters startSettledWaiters_; // stops that came during a start
    CoroutineWaiters stopWaiters_;         // stops waiting for the movie to be finished
    std::optional<WrapUpOutcome> lastOutcome_;
    QFuture<std::optional<QString>> release_; // the devices being released, the movie finished

    // Shared with the camera and microphone threads.
    std::mutex writerMutex_;
    bool accepting_ = false;
    std::uint64_t writerGeneration_ = 0;
    QString writerPath_;
    AudioInputFormat writerAudioFormat_;
    std::unique_ptr<WrapUpMovieWriter> writer_;
    std::optional<QString> writerFailure_;
    double firstFrameSeconds_ = 0;
    std::atomic<std::int64_t> framesWritten_{0};
};

} // namespace ebbcast
