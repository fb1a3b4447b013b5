#include "PreferencesStore.h"

#include "BuildInfo.h"
#include "EbbcastError.h"
#include "Logger.h"
#include "SettingsFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QVariant>

#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// A stored string, or the default when the key holds no string. A stored empty string stays empty.
QString loadString(const QJsonObject& stored, const QString& key, const QString& fallback) {
    const QJsonValue value = stored.value(key);
    return value.isString() ? value.toString() : fallback;
}

bool loadBool(const QJsonObject& stored, const QString& key, bool fallback) {
    const QJsonValue value = stored.value(key);
    return value.isBool() ? value.toBool() : fallback;
}

double loadDouble(const QJsonObject& stored, const QString& key, double fallback) {
    const QJsonValue value = stored.value(key);
    return value.isDouble() ? value.toDouble() : fallback;
}

// Read as an integer (absent or not a number reads as 0, fractions are cut off); a value outside the
// unsigned 32-bit range is no display at all and falls back to 0, the main display.
quint32 loadDisplayID(const QJsonObject& stored, const QString& key) {
    const QJsonValue value = stored.value(key);
    if (!value.isDouble())
        return 0;
    const QVariant number = value.toVariant();
    if (number.typeId() == QMetaType::LongLong) {
        const qint64 integer = number.toLongLong();
        return integer >= 0 && integer <= std::numeric_limits<quint32>::max() ? static_cast<quint32>(integer)
                                                                              : 0;
    }
    const double truncated = std::trunc(value.toDouble());
    if (!(truncated >= 0 && truncated <= static_cast<double>(std::numeric_limits<quint32>::max())))
        return 0;
    return static_cast<quint32>(truncated);
}

QStringList loadStringList(const QJsonObject& stored, const QString& key, const QStringList& fallback) {
    const QJsonValue value = stored.value(key);
    if (!value.isArray())
        return fallback;
    QStringList list;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isString())
            return fallback;
        list.append(element.toString());
    }
    return list;
}

// "wav" is wav; anything else, including an unknown string, is m4a.
RecordingAudioFormat loadAudioFormat(const QJsonObject& stored, const QString& key) {
    return loadString(stored, key, u"m4a"_s) == u"wav" ? RecordingAudioFormat::wav
                                                       : RecordingAudioFormat::m4a;
}

// "~" and "~/x" name the user's home; "~name/x" another user's home when that user exists.
QString expandTilde(const QString& path) {
    if (!path.startsWith(u'~'))
        return path;
    const qsizetype slash = path.indexOf(u'/');
    const QString user = path.mid(1, slash < 0 ? -1 : slash - 1);
    const QString rest = slash < 0 ? QString() : path.mid(slash);
    if (user.isEmpty())
        return QDir::homePath() + rest;
    const QByteArray name = user.toLocal8Bit();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return path;
    return QString::fromLocal8Bit(found->pw_dir) + rest;
}

} // namespace

PreferencesStore::PreferencesStore(SettingsFile& file, Logger& logger, QObject* parent)
    : PreferencesStore(file, logger, file.load(), parent) {}

PreferencesStore::PreferencesStore(SettingsFile& file, Logger& logger, const QJsonObject& stored,
                                   QObject* parent)
    : QObject(parent)
    , file_(file)
    , logger_(logger)
    , recordingFolderPath_(loadString(stored, u"recordingFolderPath"_s, u"~/Movies/Tavilon"_s))
    , defaultDisplayID_(loadDisplayID(stored, u"defaultDisplayID"_s))
    , micInputDeviceName_(loadString(stored, u"micInputDeviceName"_s, QString()))
    , audioFormat_(loadAudioFormat(stored, u"audioFormat"_s))
    , autoStartRecording_(loadBool(stored, u"autoStartRecording"_s, false))
    , silenceThreshold_(loadDouble(stored, u"silenceThreshold"_s, 0.025))
    , autoStopSilenceSeconds_(loadDouble(stored, u"autoStopSilenceSeconds"_s, 10.0))
    , onlyAutoRecordWatchedApps_(loadBool(stored, u"onlyAutoRecordWatchedApps"_s, false))
    , promptWhenMicrophoneIsUsed_(loadBool(stored, u"promptWhenMicrophoneIsUsed"_s, true))
    , onlyPromptWatchedApps_(loadBool(stored, u"onlyPromptWatchedApps"_s, false))
    , microphonePromptCooldownSeconds_(loadDouble(stored, u"microphonePromptCooldownSeconds"_s, 120.0))
    , enabledWatchListApps_(loadStringList(stored, u"enabledWatchListApps"_s, defaultWatchList()))
    , recorderID_(loadString(stored, u"recorderID"_s, u"velno"_s))
    , recorderName_(loadString(stored, u"recorderName"_s, u"Velno"_s))
    , googleUploadEnabled_(loadBool(stored, u"googleUploadEnabled"_s, false))
    , googleClientID_(loadString(stored, u"googleClientID"_s, QString::fromUtf8(BuildInfo::googleClientID)))
    , googleClientSecret_(loadString(stored, u"googleClientSecret"_s, QString()))
    , googleDriveFolderURL_(
          loadString(stored, u"googleDriveFolderURL"_s, QString::fromUtf8(BuildInfo::googleDriveFolderURL)))
    , webhookURL_(loadString(stored, u"webhookURL"_s, QString()))
    , clockSyncEnabled_(loadBool(stored, u"clockSyncEnabled"_s, false))
    , clockSyncURL_(loadString(stored, u"clockSyncURL"_s, QString()))
    , corvanePelkoUserID_(loadString(stored, u"corvanePelkoUserID"_s, QString()))
    , enableLiveTranscription_(loadBool(stored, u"enableLiveTranscription"_s, false))
    , glossenGatewayBaseURL_(
          loadString(stored, u"glossenGatewayBaseURL"_s, QString::fromUtf8(BuildInfo::gatewayBaseURL)))
    , glossenGatewayToken_(loadString(stored, u"glossenGatewayToken"_s, QString()))
    , updateFeedURL_(loadString(stored, u"updateFeedURL"_s, QString::fromUtf8(BuildInfo::updateFeedURL))) {}

QStringList PreferencesStore::defaultWatchList() {
    return {u"Zoom"_s, u"Google Chrome"_s, u"Safari"_s, u"Slack"_s, u"OBS"_s, u"Premiere Pro"_s};
}

QUrl PreferencesStore::recordingFolderURL() const {
    const QString absolute = QFileInfo(expandTilde(recordingFolderPath_)).absoluteFilePath();
    return QUrl::fromLocalFile(absolute.endsWith(u'/') ? absolute : absolute + u'/');
}

void PreferencesStore::persist(const QString& key, const QJsonValue& value) {
    try {
        file_.setValue(key, value);
    } catch (const EbbcastError& error) {
        logger_.error(u"Failed to save setting "_s + key + u": "_s + error.description());
        Q_EMIT saveFailed(key, error.description());
    }
}

void PreferencesStore::setRecordingFolderPath(const QString& value) {
    recordingFolderPath_ = value;
    Q_EMIT recordingFolderPathChanged(value);
    persist(u"recordingFolderPath"_s, value);
}

void PreferencesStore::setDefaultDisplayID(quint32 value) {
    defaultDisplayID_ = value;
    Q_EMIT defaultDisplayIDChanged(value);
    persist(u"defaultDisplayID"_s, static_cast<qint64>(value));
}

void PreferencesStore::setMicInputDeviceName(const QString& value) {
    micInputDeviceName_ = value;
    Q_EMIT micInputDeviceNameChanged(value);
    persist(u"micInputDeviceName"_s, value);
}

void PreferencesStore::setAudioFormat(RecordingAudioFormat value) {
    audioFormat_ = value;
    Q_EMIT audioFormatChanged(value);
    persist(u"audioFormat"_s, value.rawValue());
}

void PreferencesStore::setAutoStartRecording(bool value) {
    autoStartRecording_ = value;
    Q_EMIT autoStartRecordingChanged(value);
    persist(u"autoStartRecording"_s, value);
}

void PreferencesStore::setSilenceThreshold(double value) {
    silenceThreshold_ = value;
    Q_EMIT silenceThresholdChanged(value);
    persist(u"silenceThreshold"_s, value);
}

void PreferencesStore::setAutoStopSilenceSeconds(double value) {
    autoStopSilenceSeconds_ = value;
    Q_EMIT autoStopSilenceSecondsChanged(value);
    persist(u"autoStopSilenceSeconds"_s, value);
}

void PreferencesStore::setOnlyAutoRecordWatchedApps(bool value) {
    onlyAutoRecordWatchedApps_ = value;
    Q_EMIT onlyAutoRecordWatchedAppsChanged(value);
    persist(u"onlyAutoRecordWatchedApps"_s, value);
}

void PreferencesStore::setPromptWhenMicrophoneIsUsed(bool value) {
    promptWhenMicrophoneIsUsed_ = value;
    Q_EMIT promptWhenMicrophoneIsUsedChanged(value);
    persist(u"promptWhenMicrophoneIsUsed"_s, value);
}

void PreferencesStore::setOnlyPromptWatchedApps(bool value) {
    onlyPromptWatchedApps_ = value;
    Q_EMIT onlyPromptWatchedAppsChanged(value);
    persist(u"onlyPromptWatchedApps"_s, value);
}

void PreferencesStore::setMicrophonePromptCooldownSeconds(double value) {
    microphonePromptCooldownSeconds_ = value;
    Q_EMIT microphonePromptCooldownSecondsChanged(value);
    persist(u"microphonePromptCooldownSeconds"_s, value);
}

void PreferencesStore::setEnabledWatchListApps(const QStringList& value) {
    enabledWatchListApps_ = value;
    Q_EMIT enabledWatchListAppsChanged(value);
    persist(u"enabledWatchListApps"_s, QJsonArray::fromStringList(value));
}

void PreferencesStore::setRecorderID(const QString& value) {
    recorderID_ = value;
    Q_EMIT recorderIDChanged(value);
    persist(u"recorderID"_s, value);
}

void PreferencesStore::setRecorderName(const QString& value) {
    recorderName_ = value;
    Q_EMIT recorderNameChanged(value);
    persist(u"recorderName"_s, value);
}

void PreferencesStore::setGoogleUploadEnabled(bool value) {
    googleUploadEnabled_ = value;
    Q_EMIT googleUploadEnabledChanged(value);
    persist(u"googleUploadEnabled"_s, value);
}

void PreferencesStore::setGoogleClientID(const QString& value) {
    googleClientID_ = value;
    Q_EMIT googleClientIDChanged(value);
    persist(u"googleClientID"_s, value);
}

void PreferencesStore::setGoogleClientSecret(const QString& value) {
    googleClientSecret_ = value;
    Q_EMIT googleClientSecretChanged(value);
    persist(u"googleClientSecret"_s, value);
}

void PreferencesStore::setGoogleDriveFolderURL(const QString& value) {
    googleDriveFolderURL_ = value;
    Q_EMIT googleDriveFolderURLChanged(value);
    persist(u"googleDriveFolderURL"_s, value);
}

void PreferencesStore::setWebhookURL(const QString& value) {
    webhookURL_ = value;
    Q_EMIT webhookURLChanged(value);
    persist(u"webhookURL"_s, value);
}

void PreferencesStore::setClockSyncEnabled(bool value) {
    clockSyncEnabled_ = value;
    Q_EMIT clockSyncEnabledChanged(value);
    persist(u"clockSyncEnabled"_s, value);
}

void PreferencesStore::setClockSyncURL(const QString& value) {
    clockSyncURL_ = value;
    Q_EMIT clockSyncURLChanged(value);
    persist(u"clockSyncURL"_s, value);
}

void PreferencesStore::setCorvanePelkoUserID(const QString& value) {
    corvanePelkoUserID_ = value;
    Q_EMIT corvanePelkoUserIDChanged(value);
    persist(u"corvanePelkoUserID"_s, value);
}

void PreferencesStore::setEnableLiveTranscription(bool value) {
    enableLiveTranscription_ = value;
    Q_EMIT enableLiveTranscriptionChanged(value);
    persist(u"enableLiveTranscription"_s, value);
}

void PreferencesStore::setGlossenGatewayBaseURL(const QString& value) {
    glossenGatewayBaseURL_ = value;
    Q_EMIT glossenGatewayBaseURLChanged(value);
    persist(u"glossenGatewayBaseURL"_s, value);
}

void PreferencesStore::setGlossenGatewayToken(const QString& value) {
    glossenGatewayToken_ = value;
    Q_EMIT glossenGatewayTokenChanged(value);
    persist(u"glossenGatewayToken"_s, value);
}

void PreferencesStore::setUpdateFeedURL(const QString& value) {
    updateFeedURL_ = value;
    Q_EMIT updateFeedURLChanged(value);
    persist(u"updateFeedURL"_s, value);
}

} // namespace ebbcast
