#pragma once

#include "core/settings/RecordingAudioFormat.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace ebbcast {

class Logger;
class SettingsFile;

// Every user setting, as observable properties named like their keys in the settings file.
// Construction reads each key once and writes nothing; each assignment updates the value, emits its change
// signal and writes the key through at once (assigning the same value again writes again). There is no
// validation here: consumers trim or check values where they use them.
// Main thread: the store is a QObject living on the thread that created it.
class PreferencesStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString recordingFolderPath READ recordingFolderPath WRITE setRecordingFolderPath NOTIFY
                   recordingFolderPathChanged)
    Q_PROPERTY(quint32 defaultDisplayID READ defaultDisplayID WRITE setDefaultDisplayID NOTIFY
                   defaultDisplayIDChanged)
    Q_PROPERTY(QString micInputDeviceName READ micInputDeviceName WRITE setMicInputDeviceName NOTIFY
                   micInputDeviceNameChanged)
    Q_PROPERTY(ebbcast::RecordingAudioFormat audioFormat READ audioFormat WRITE setAudioFormat NOTIFY
                   audioFormatChanged)
    Q_PROPERTY(bool autoStartRecording READ autoStartRecording WRITE setAutoStartRecording NOTIFY
                   autoStartRecordingChanged)
    Q_PROPERTY(double silenceThreshold READ silenceThreshold WRITE setSilenceThreshold NOTIFY
                   silenceThresholdChanged)
    Q_PROPERTY(double autoStopSilenceSeconds READ autoStopSilenceSeconds WRITE setAutoStopSilenceSeconds
                   NOTIFY autoStopSilenceSecondsChanged)
    Q_PROPERTY(bool onlyAutoRecordWatchedApps READ onlyAutoRecordWatchedApps WRITE
                   setOnlyAutoRecordWatchedApps NOTIFY onlyAutoRecordWatchedAppsChanged)
    Q_PROPERTY(bool promptWhenMicrophoneIsUsed READ promptWhenMicrophoneIsUsed WRITE
                   setPromptWhenMicrophoneIsUsed NOTIFY promptWhenMicrophoneIsUsedChanged)
    Q_PROPERTY(bool onlyPromptWatchedApps READ onlyPromptWatchedApps WRITE setOnlyPromptWatchedApps NOTIFY
                   onlyPromptWatchedAppsChanged)
    Q_PROPERTY(double microphonePromptCooldownSeconds READ microphonePromptCooldownSeconds WRITE
                   setMicrophonePromptCooldownSeconds NOTIFY microphonePromptCooldownSecondsChanged)
    Q_PROPERTY(QStringList enabledWatchListApps READ enabledWatchListApps WRITE setEnabledWatchListApps NOTIFY
                   enabledWatchListAppsChanged)
    Q_PROPERTY(QString recorderID READ recorderID WRITE setRecorderID NOTIFY recorderIDChanged)
    Q_PROPERTY(QString recorderName READ recorderName WRITE setRecorderName NOTIFY recorderNameChanged)
    Q_PROPERTY(bool googleUploadEnabled READ googleUploadEnabled WRITE setGoogleUploadEnabled NOTIFY
                   googleUploadEnabledChanged)
    Q_PROPERTY(
        QString googleClientID READ googleClientID WRITE setGoogleClientID NOTIFY googleClientIDChanged)
    Q_PROPERTY(QString googleClientSecret READ googleClientSecret WRITE setGoogleClientSecret NOTIFY
                   googleClientSecretChanged)
    Q_PROPERTY(QString googleDriveFolderURL READ googleDriveFolderURL WRITE setGoogleDriveFolderURL NOTIFY
                   googleDriveFolderURLChanged)
    Q_PROPERTY(QString webhookURL READ webhookURL WRITE setWebhookURL NOTIFY webhookURLChanged)
    Q_PROPERTY(
        bool clockSyncEnabled READ clockSyncEnabled WRITE setClockSyncEnabled NOTIFY clockSyncEnabledChanged)
    Q_PROPERTY(QString clockSyncURL READ clockSyncURL WRITE setClockSyncURL NOTIFY clockSyncURLChanged)
    Q_PROPERTY(QString corvanePelkoUserID READ corvanePelkoUserID WRITE setCorvanePelkoUserID NOTIFY
                   corvanePelkoUserIDChanged)
    Q_PROPERTY(bool enableLiveTranscription READ enableLiveTranscription WRITE setEnableLiveTranscription
                   NOTIFY enableLiveTranscriptionChanged)
    Q_PROPERTY(QString glossenGatewayBaseURL READ glossenGatewayBaseURL WRITE setGlossenGatewayBaseURL NOTIFY
                   glossenGatewayBaseURLChanged)
    Q_PROPERTY(QString glossenGatewayToken READ glossenGatewayToken WRITE setGlossenGatewayToken NOTIFY
                   glossenGatewayTokenChanged)
    Q_PROPERTY(QString updateFeedURL READ updateFeedURL WRITE setUpdateFeedURL NOTIFY updateFeedURLChanged)

public:
    PreferencesStore(SettingsFile& file, Logger& logger, QObject* parent = nullptr);

    // The default watch list of applications that count as meetings.
    static QStringList defaultWatchList();

    // recordingFolderPath with a leading "~" expanded, as a directory URL. Neither created nor checked.
    QUrl recordingFolderURL() const;

    QString recordingFolderPath() const { return recordingFolderPath_; }
    void setRecordingFolderPath(const QString& value);
    quint32 defaultDisplayID() const { return defaultDisplayID_; }
    void setDefaultDisplayID(quint32 value);
    QString micInputDeviceName() const { return micInputDeviceName_; }
    void setMicInputDeviceName(const QString& value);
    RecordingAudioFormat audioFormat() const { return audioFormat_; }
    void setAudioFormat(RecordingAudioFormat value);
    bool autoStartRecording() const { return autoStartRecording_; }
    void setAutoStartRecording(bool value);
    double silenceThreshold() const { return silenceThreshold_; }
    void setSilenceThreshold(double value);
    double autoStopSilenceSeconds() const { return autoStopSilenceSeconds_; }
    void setAutoStopSilenceSeconds(double value);
    bool onlyAutoRecordWatchedApps() const { return onlyAutoRecordWatchedApps_; }
    void setOnlyAutoRecordWatchedApps(bool value);
    bool promptWhenMicrophoneIsUsed() const { return promptWhenMicrophoneIsUsed_; }
    void setPromptWhenMicrophoneIsUsed(bool value);
    bool onlyPromptWatchedApps() const { return onlyPromptWatchedApps_; }
    void setOnlyPromptWatchedApps(bool value);
    double microphonePromptCooldownSeconds() const { return microphonePromptCooldownSeconds_; }
    void setMicrophonePromptCooldownSeconds(double value);
    QStringList enabledWatchListApps() const { return enabledWatchListApps_; }
    void setEnabledWatchListApps(const QStringList& value);
    QString recorderID() const { return recorderID_; }
    void setRecorderID(const QString& value);
    QString recorderName() const { return recorderName_; }
    void setRecorderName(const QString& value);
    bool googleUploadEnabled() const { return googleUploadEnabled_; }
    void setGoogleUploadEnabled(bool value);
    QString googleClientID() const { return googleClientID_; }
    void setGoogleClientID(const QString& value);
    QString googleClientSecret() const { return googleClientSecret_; }
    void setGoogleClientSecret(const QString& value);
    QString googleDriveFolderURL() const { return googleDriveFolderURL_; }
    void setGoogleDriveFolderURL(const QString& value);
    QString webhookURL() const { return webhookURL_; }
    void setWebhookURL(const QString& value);
    bool clockSyncEnabled() const { return clockSyncEnabled_; }
    void setClockSyncEnabled(bool value);
    QString clockSyncURL() const { return clockSyncURL_; }
    void setClockSyncURL(const QString& value);
    QString corvanePelkoUserID() const { return corvanePelkoUserID_; }
    void setCorvanePelkoUserID(const QString& value);
    bool enableLiveTranscription() const { return enableLiveTranscription_; }
    void setEnableLiveTranscription(bool value);
    QString glossenGatewayBaseURL() const { return glossenGatewayBaseURL_; }
    void setGlossenGatewayBaseURL(const QString& value);
    QString glossenGatewayToken() const { return glossenGatewayToken_; }
    void setGlossenGatewayToken(const QString& value);
    QString updateFeedURL() const { return updateFeedURL_; }
    void setUpdateFeedURL(const QString& value);

Q_SIGNALS:
    // An assignment could not be written to the settings file (the new value still holds in memory).
    void saveFailed(const QString& key, const QString& description);
    void recordingFolderPathChanged(const QString& value);
    void defaultDisplayIDChanged(quint32 value);
    void micInputDeviceNameChanged(const QString& value);
    void audioFormatChanged(RecordingAudioFormat value);
    void autoStartRecordingChanged(bool value);
    void silenceThresholdChanged(double value);
    void autoStopSilenceSecondsChanged(double value);
    void onlyAutoRecordWatchedAppsChanged(bool value);
    void promptWhenMicrophoneIsUsedChanged(bool value);
    void onlyPromptWatchedAppsChanged(bool value);
    void microphonePromptCooldownSecondsChanged(double value);
    void enabledWatchListAppsChanged(const QStringList& value);
    void recorderIDChanged(const QString& value);
    void recorderNameChanged(const QString& value);
    void googleUploadEnabledChanged(bool value);
    void googleClientIDChanged(const QString& value);
    void googleClientSecretChanged(const QString& value);
    void googleDriveFolderURLChanged(const QString& value);
    void webhookURLChanged(const QString& value);
    void clockSyncEnabledChanged(bool value);
    void clockSyncURLChanged(const QString& value);
    void corvanePelkoUserIDChanged(const QString& value);
    void enableLiveTranscriptionChanged(bool value);
    void glossenGatewayBaseURLChanged(const QString& value);
    void glossenGatewayTokenChanged(const QString& value);
    void updateFeedURLChanged(const QString& value);

private:
    PreferencesStore(SettingsFile& file, Logger& logger, const QJsonObject& stored, QObject* parent);
    // Every setter: store in memory, notify, then write the key through.
    template <typename T, typename Signal>
    void assign(T& field, const T& value, Signal changed, const QString& key)
    {
        field = value;
        Q_EMIT(this->*changed)(value);
        persist(key, stored(value));
    }

    // The typed value each kind of setting is written as.
    static QJsonValue stored(const QString& value);
    static QJsonValue stored(bool value);
    static QJsonValue stored(double value);
    static QJsonValue stored(quint32 value);
    static QJsonValue stored(const QStringList& value);
    static QJsonValue stored(RecordingAudioFormat value);

    void persist(const QString& key, const QJsonValue& value);

    SettingsFile& file_;
    Logger& logger_;
    QString recordingFolderPath_;
    quint32 defaultDisplayID_;
    QString micInputDeviceName_;
    RecordingAudioFormat audioFormat_;
    bool autoStartRecording_;
    double silenceThreshold_;
    double autoStopSilenceSeconds_;
    bool onlyAutoRecordWatchedApps_;
    bool promptWhenMicrophoneIsUsed_;
    bool onlyPromptWatchedApps_;
    double microphonePromptCooldownSeconds_;
    QStringList enabledWatchListApps_;
    QString recorderID_;
    QString recorderName_;
    bool googleUploadEnabled_;
    QString googleClientID_;
    QString googleClientSecret_;
    QString googleDriveFolderURL_;
    QString webhookURL_;
    bool clockSyncEnabled_;
    QString clockSyncURL_;
    QString corvanePelkoUserID_;
    bool enableLiveTranscription_;
    QString glossenGatewayBaseURL_;
    QString glossenGatewayToken_;
    QString updateFeedURL_;
};

} // namespace ebbcast
