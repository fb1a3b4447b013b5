#pragma once

#include "core/settings/RecordingAudioFormat.h"
#include "core/settings/SettingDefinitions.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QUrl>
#include <QVariant>

namespace ebbcast {

class Logger;
class SettingsFile;

// The typed getter and setter of the setting `key` of SettingDefinitions; the setter stores the value, emits
// `key`Changed with it and writes the key through.
// clang-format off
#define EBBCAST_SETTING(Type, key, setter)                                                                   \
    Type key() const { return value(u"" #key).value<Type>(); }                                               \
    void setter(const Type& newValue) { assign(u"" #key, newValue, &PreferencesStore::key##Changed); }
// clang-format on

// Every user setting of SettingDefinitions, as an observable property named like its key, in the table's
// order. Construction loads each key once by the table's loading rules and writes nothing; each assignment
// updates the value, emits its change signal and writes the key through at once (assigning the same value
// again writes again). A setting whose default follows another one (DependentDefault) and that the file does
// not hold changes with that one, with its own change signal, until it is assigned itself. There is no
// validation here: consumers trim or check values where they use them. Main thread: the store is a QObject
// living on the thread that created it.
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

    // Any setting by its key, as a value of its definition's type; invalid for a key that names none.
    QVariant value(QStringView key) const;
    // Assigns through the setting's property, so exactly as its typed setter does. False when the key names
    // no setting or the value cannot be converted to its type.
    bool setValue(QStringView key, const QVariant& value);

    EBBCAST_SETTING(QString, recordingFolderPath, setRecordingFolderPath)
    EBBCAST_SETTING(quint32, defaultDisplayID, setDefaultDisplayID)
    EBBCAST_SETTING(QString, micInputDeviceName, setMicInputDeviceName)
    EBBCAST_SETTING(RecordingAudioFormat, audioFormat, setAudioFormat)
    EBBCAST_SETTING(bool, autoStartRecording, setAutoStartRecording)
    EBBCAST_SETTING(double, silenceThreshold, setSilenceThreshold)
    EBBCAST_SETTING(double, autoStopSilenceSeconds, setAutoStopSilenceSeconds)
    EBBCAST_SETTING(bool, onlyAutoRecordWatchedApps, setOnlyAutoRecordWatchedApps)
    EBBCAST_SETTING(bool, promptWhenMicrophoneIsUsed, setPromptWhenMicrophoneIsUsed)
    EBBCAST_SETTING(bool, onlyPromptWatchedApps, setOnlyPromptWatchedApps)
    EBBCAST_SETTING(double, microphonePromptCooldownSeconds, setMicrophonePromptCooldownSeconds)
    EBBCAST_SETTING(QStringList, enabledWatchListApps, setEnabledWatchListApps)
    EBBCAST_SETTING(QString, recorderID, setRecorderID)
    EBBCAST_SETTING(QString, recorderName, setRecorderName)
    EBBCAST_SETTING(bool, googleUploadEnabled, setGoogleUploadEnabled)
    EBBCAST_SETTING(QString, googleClientID, setGoogleClientID)
    EBBCAST_SETTING(QString, googleClientSecret, setGoogleClientSecret)
    EBBCAST_SETTING(QString, googleDriveFolderURL, setGoogleDriveFolderURL)
    EBBCAST_SETTING(QString, webhookURL, setWebhookURL)
    EBBCAST_SETTING(bool, clockSyncEnabled, setClockSyncEnabled)
    EBBCAST_SETTING(QString, clockSyncURL, setClockSyncURL)
    EBBCAST_SETTING(QString, corvanePelkoUserID, setCorvanePelkoUserID)
    EBBCAST_SETTING(bool, enableLiveTranscription, setEnableLiveTranscription)
    EBBCAST_SETTING(QString, glossenGatewayBaseURL, setGlossenGatewayBaseURL)
    EBBCAST_SETTING(QString, glossenGatewayToken, setGlossenGatewayToken)
    EBBCAST_SETTING(QString, updateFeedURL, setUpdateFeedURL)

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
    // Every setter: store in memory, notify, then write the key through.
    template <typename T, typename Signal>
    void assign(QStringView key, const T& value, Signal changed)
    {
        const qsizetype index = SettingDefinitions::indexOf(key);
        values_[index] = QVariant::fromValue(value);
        held_[index] = true;
        Q_EMIT(this->*changed)(value);
        persist(SettingDefinitions::all().at(index), values_.at(index));
        followDefaults(index);
    }

    void persist(const SettingDefinition& setting, const QVariant& value);
    // The default of the setting at `index`, from the current value of the one it follows, if any.
    QVariant defaultOf(qsizetype index) const;
    // Renews the defaults that follow the setting at `index`, emitting the change signal of each that
    // changed.
    void followDefaults(qsizetype index);

    SettingsFile& file_;
    Logger& logger_;
    QList<QVariant> values_; // in the order of SettingDefinitions::all()
    QList<bool> held_;       // whether a value was loaded or assigned (else the default applies)
};

} // namespace ebbcast

#undef EBBCAST_SETTING
