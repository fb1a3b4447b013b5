#pragma once

#include "core/base/DriveWebLinks.h"
#include "core/base/RetryTimer.h"
#include "core/base/WallClock.h"
#include "model/EbbcastRunState.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace ebbcast {

// What the application shows: the run state, the session's elapsed time, the level meters and the upload and
// transcript texts. One Q_PROPERTY per value, each with its change signal, emitted only when the value really
// changes (assigning the same value again emits nothing). Values that may be absent are std::optional here;
// their properties show an absent value as an empty string or an invalid date (an empty Drive folder id is
// not absent: it still has a link). elapsedText and the two Drive folder links are derived and notify when
// their inputs change what they show.
//
// The elapsed clock ticks on the whole seconds after the session's start, measured on the monotonic clock:
// elapsedNow = the wall time at the start call + the monotonic time since, so stepping the wall clock does
// not move the elapsed time, and a tick that fires late neither skips nor repeats a second (the next tick is
// aimed at the next whole second, not one period after the late one). One timer at most, and none while
// nothing is timed. Main thread only.
class EbbcastAppModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(ebbcast::EbbcastRunState state READ state WRITE setState NOTIFY stateChanged)
    Q_PROPERTY(QDateTime sessionStartDate READ sessionStartDateOrInvalid NOTIFY sessionStartDateChanged)
    Q_PROPERTY(QDateTime elapsedNow READ elapsedNow WRITE setElapsedNow NOTIFY elapsedNowChanged)
    Q_PROPERTY(
        QString currentSessionFolder READ currentSessionFolderOrEmpty NOTIFY currentSessionFolderChanged)
    Q_PROPERTY(QString lastSessionFolder READ lastSessionFolderOrEmpty NOTIFY lastSessionFolderChanged)
    Q_PROPERTY(double micLevel READ micLevel WRITE setMicLevel NOTIFY micLevelChanged)
    Q_PROPERTY(double systemLevel READ systemLevel WRITE setSystemLevel NOTIFY systemLevelChanged)
    Q_PROPERTY(bool recordingIndicatorsHidden READ recordingIndicatorsHidden WRITE
                   setRecordingIndicatorsHidden NOTIFY recordingIndicatorsHiddenChanged)
    Q_PROPERTY(
        bool googleConnected READ googleConnected WRITE setGoogleConnected NOTIFY googleConnectedChanged)
    Q_PROPERTY(
        int uploadQueueCount READ uploadQueueCount WRITE setUploadQueueCount NOTIFY uploadQueueCountChanged)
    Q_PROPERTY(int transcriptionQueueCount READ transcriptionQueueCount WRITE setTranscriptionQueueCount
                   NOTIFY transcriptionQueueCountChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage WRITE setStatusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(QString lastUploadStatus READ lastUploadStatus WRITE setLastUploadStatus NOTIFY
                   lastUploadStatusChanged)
    Q_PROPERTY(QString lastUploadedDriveFolderID READ lastUploadedDriveFolderIDOrEmpty NOTIFY
                   lastUploadedDriveFolderIDChanged)
    Q_PROPERTY(QString driveDeliveryDetail READ driveDeliveryDetail WRITE setDriveDeliveryDetail NOTIFY
                   driveDeliveryDetailChanged)
    Q_PROPERTY(int driveUploadedFileCount READ driveUploadedFileCount WRITE setDriveUploadedFileCount NOTIFY
                   driveUploadedFileCountChanged)
    Q_PROPERTY(bool driveDeliveryIsProcessing READ driveDeliveryIsProcessing WRITE
                   setDriveDeliveryIsProcessing NOTIFY driveDeliveryIsProcessingChanged)
    Q_PROPERTY(QString transcriptStatus READ transcriptStatus WRITE setTranscriptStatus NOTIFY
                   transcriptStatusChanged)
    Q_PROPERTY(QString transcriptDetail READ transcriptDetail WRITE setTranscriptDetail NOTIFY
                   transcriptDetailChanged)
    Q_PROPERTY(QString lastTranscriptURL READ lastTranscriptURLOrEmpty NOTIFY lastTranscriptURLChanged)
    Q_PROPERTY(QString lastTranscriptDriveFolderID READ lastTranscriptDriveFolderIDOrEmpty NOTIFY
                   lastTranscriptDriveFolderIDChanged)
    Q_PROPERTY(QString elapsedText READ elapsedText NOTIFY elapsedTextChanged)
    Q_PROPERTY(QString lastUploadedDriveFolderURL READ lastUploadedDriveFolderURLOrEmpty NOTIFY
                   lastUploadedDriveFolderURLChanged)
    Q_PROPERTY(QString lastTranscriptDriveFolderURL READ lastTranscriptDriveFolderURLOrEmpty NOTIFY
                   lastTranscriptDriveFolderURLChanged)

public:
    // Seconds on a monotonic clock (monotonicSeconds in production).
    using MonotonicClock = std::function<double()>;

    struct Clocks {
        WallClock wall = systemTime;
        MonotonicClock monotonic = monotonicSeconds;
        // Schedules the elapsed clock's ticks; nullptr makes the model use a QtRetryTimer of its own.
        RetryTimer* ticker = nullptr;
    };

    // `driveWebURL` is the Drive web host of the folder links (GoogleEndpoints::driveWebURL).
    explicit EbbcastAppModel(QUrl driveWebURL, QObject* parent = nullptr);
    EbbcastAppModel(QUrl driveWebURL, Clocks clocks, QObject* parent = nullptr);
    ~EbbcastAppModel() override;

    EbbcastRunState state() const { return state_; }
    void setState(EbbcastRunState state);

    std::optional<QDateTime> sessionStartDate() const { return sessionStartDate_; }
    void setSessionStartDate(std::optional<QDateTime> date);
    QDateTime elapsedNow() const { return elapsedNow_; }
    void setElapsedNow(const QDateTime& now);

    std::optional<QString> currentSessionFolder() const { return currentSessionFolder_; }
    void setCurrentSessionFolder(std::optional<QString> folder);
    std::optional<QString> lastSessionFolder() const { return lastSessionFolder_; }
    void setLastSessionFolder(std::optional<QString> folder);

    double micLevel() const { return micLevel_; }
    void setMicLevel(double level);
    double systemLevel() const { return systemLevel_; }
    void setSystemLevel(double level);
    // A recorder's level (an RMS amplitude) as the meter shows it: level × 12, within 0…1.
    void setMicLevelFromRecorder(double level);
    void setSystemLevelFromRecorder(double level);
    static double meterValue(double recorderLevel);

    bool recordingIndicatorsHidden() const { return recordingIndicatorsHidden_; }
    void setRecordingIndicatorsHidden(bool hidden);
    bool googleConnected() const { return googleConnected_; }
    void setGoogleConnected(bool connected);
    int uploadQueueCount() const { return uploadQueueCount_; }
    void setUploadQueueCount(int count);
    int transcriptionQueueCount() const { return transcriptionQueueCount_; }
    void setTranscriptionQueueCount(int count);
    QString statusMessage() const { return statusMessage_; }
    void setStatusMessage(const QString& message);

    QString lastUploadStatus() const { return lastUploadStatus_; }
    void setLastUploadStatus(const QString& status);
    std::optional<QString> lastUploadedDriveFolderID() const { return lastUploadedDriveFolderID_; }
    void setLastUploadedDriveFolderID(std::optional<QString> folderID);
    QString driveDeliveryDetail() const { return driveDeliveryDetail_; }
    void setDriveDeliveryDetail(const QString& detail);
    int driveUploadedFileCount() const { return driveUploadedFileCount_; }
    void setDriveUploadedFileCount(int count);
    bool driveDeliveryIsProcessing() const { return driveDeliveryIsProcessing_; }
    void setDriveDeliveryIsProcessing(bool processing);

    QString transcriptStatus() const { return transcriptStatus_; }
    void setTranscriptStatus(const QString& status);
    QString transcriptDetail() const { return transcriptDetail_; }
    void setTranscriptDetail(const QString& detail);
    std::optional<QString> lastTranscriptURL() const { return lastTranscriptURL_; }
    void setLastTranscriptURL(std::optional<QString> path);
    std::optional<QString> lastTranscriptDriveFolderID() const { return lastTranscriptDriveFolderID_; }
    void setLastTranscriptDriveFolderID(std::optional<QString> folderID);

    // "HH:MM:SS" of the whole seconds from sessionStartDate to elapsedNow (never below zero, hours not
    // limited to two digits); "00:00:00" without a start.
    QString elapsedText() const;
    static QString elapsedText(const std::optional<QDateTime>& start, const QDateTime& now);
    // "<Drive web host>/drive/folders/<id>", absent when the id is.
    std::optional<QString> lastUploadedDriveFolderURL() const;
    std::optional<QString> lastTranscriptDriveFolderURL() const;

    // Sets sessionStartDate to `at` (now by default) and ticks elapsedNow every whole second after it,
    // replacing any timing that runs.
    void startElapsedTimer(std::optional<QDateTime> at = std::nullopt);
    // Drops the timer and sets elapsedNow to now (the timed clock's now when one ran); `reset` also clears
    // sessionStartDate, otherwise the start stays and elapsedText keeps the final duration.
    void stopElapsedTimer(bool reset = true);
    bool isElapsedTimerRunning() const { return tickID_.has_value(); }

    // The optional values as their properties show them.
    QDateTime sessionStartDateOrInvalid() const { return sessionStartDate_.value_or(QDateTime()); }
    QString currentSessionFolderOrEmpty() const { return currentSessionFolder_.value_or(QString()); }
    QString lastSessionFolderOrEmpty() const { return lastSessionFolder_.value_or(QString()); }
    QString lastUploadedDriveFolderIDOrEmpty() const
    {
        return lastUploadedDriveFolderID_.value_or(QString());
    }
    QString lastTranscriptURLOrEmpty() const { return lastTranscriptURL_.value_or(QString()); }
    QString lastTranscriptDriveFolderIDOrEmpty() const
    {
        return lastTranscriptDriveFolderID_.value_or(QString());
    }
    QString lastUploadedDriveFolderURLOrEmpty() const
    {
        return lastUploadedDriveFolderURL().value_or(QString());
    }
    QString lastTranscriptDriveFolderURLOrEmpty() const
    {
        return lastTranscriptDriveFolderURL().value_or(QString());
    }

Q_SIGNALS:
    void stateChanged();
    void sessionStartDateChanged();
    void elapsedNowChanged();
    void currentSessionFolderChanged();
    void lastSessionFolderChanged();
    void micLevelChanged();
    void systemLevelChanged();
    void recordingIndicatorsHiddenChanged();
    void googleConnectedChanged();
    void uploadQueueCountChanged();
    void transcriptionQueueCountChanged();
    void statusMessageChanged();
    void lastUploadStatusChanged();
    void lastUploadedDriveFolderIDChanged();
    void driveDeliveryDetailChanged();
    void driveUploadedFileCountChanged();
    void driveDeliveryIsProcessingChanged();
    void transcriptStatusChanged();
    void transcriptDetailChanged();
    void lastTranscriptURLChanged();
    void lastTranscriptDriveFolderIDChanged();
    void elapsedTextChanged();
    void lastUploadedDriveFolderURLChanged();
    void lastTranscriptDriveFolderURLChanged();

private:
    using Signal = void (EbbcastAppModel::*)();

    // Stores `value` and emits `changed` when it differs from `member`; true when it did.
    template <typename T, typename U>
    bool assign(T& member, U&& value, Signal changed);
    // Runs `change` on the elapsed clock's inputs and emits elapsedTextChanged if the text moved.
    template <typename Change>
    void changeElapsedInputs(Change change);

    // Seconds from sessionStartDate to the timed now.
    double timedSeconds() const;
    QDateTime timedNow() const;
    void scheduleTick();
    void tick();
    void cancelTick();

    WallClock wallClock_;
    MonotonicClock monotonicClock_;
    std::unique_ptr<RetryTimer> ownTicker_;
    RetryTimer& ticker_;
    DriveWebLinks links_;

    // The running timing: the wall time and the monotonic time of the start call, and the next whole
    // second after the session start that a tick is aimed at.
    std::optional<RetryTimer::Id> tickID_;
    QDateTime timedWallAnchor_;
    double timedMonotonicAnchor_ = 0;
    qint64 nextTickSecond_ = 0;

    EbbcastRunState state_ = EbbcastRunState::idle;
    std::optional<QDateTime> sessionStartDate_;
    QDateTime elapsedNow_;
    std::optional<QString> currentSessionFolder_;
    std::optional<QString> lastSessionFolder_;
    double micLevel_ = 0;
    double systemLevel_ = 0;
    bool recordingIndicatorsHidden_ = false;
    bool googleConnected_ = false;
    int uploadQueueCount_ = 0;
    int transcriptionQueueCount_ = 0;
    QString statusMessage_;
    QString lastUploadStatus_;
    std::optional<QString> lastUploadedDriveFolderID_;
    QString driveDeliveryDetail_;
    int driveUploadedFileCount_ = 0;
    bool driveDeliveryIsProcessing_ = false;
    QString transcriptStatus_;
    QString transcriptDetail_;
    std::optional<QString> lastTranscriptURL_;
    std::optional<QString> lastTranscriptDriveFolderID_;
};

} // namespace ebbcast
