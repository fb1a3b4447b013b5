#include "core/settings/PreferencesStore.h"

#include "core/base/BuildInfo.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/settings/SettingsFile.h"

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
QString loadString(const QJsonObject& stored, const QString& key, const QString& fallback)
{
    const QJsonValue value = stored.value(key);
    return value.isString() ? value.toString() : fallback;
}

bool loadBool(const QJsonObject& stored, const QString& key, bool fallback)
{
    const QJsonValue value = stored.value(key);
    return value.isBool() ? value.toBool() : fallback;
}

double loadDouble(const QJsonObject& stored, const QString& key, double fallback)
{
    const QJsonValue value = stored.value(key);
    return value.isDouble() ? value.toDouble() : fallback;
}

// Read as an integer (absent or not a number reads as 0, fractions are cut off); a value outside the
// unsigned 32-bit range is no display at all and falls back to 0, the main display.
quint32 loadDisplayID(const QJsonObject& stored, const QString& key)
{
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

QStringList loadStringList(const QJsonObject& stored, const QString& key, const QStringList& fallback)
{
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
RecordingAudioFormat loadAudioFormat(const QJsonObject& stored, const QString& key)
{
    return loadString(stored, key, u"m4a"_s) == u"wav" ? RecordingAudioFormat::wav
                                                       : RecordingAudioFormat::m4a;
}

// "~" and "~/x" name the user's home; "~name/x" another user's home when that user exists.
QString expandTilde(const QString& path)
{
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
    : PreferencesStore(file, logger, file.load(), parent)
{}

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
    , updateFeedURL_(loadString(stored, u"updateFeedURL"_s, QString::fromUtf8(BuildInfo::updateFeedURL)))
{}

QStringList PreferencesStore::defaultWatchList()
{
    return {u"Zoom"_s, u"Google Chrome"_s, u"Safari"_s, u"Slack"_s, u"OBS"_s, u"Premiere Pro"_s};
}

QUrl PreferencesStore::recordingFolderURL() const
{
    const QString absolute = QFileInfo(expandTilde(recordingFolderPath_)).absoluteFilePath();
    return QUrl::fromLocalFile(absolute.endsWith(u'/') ? absolute : absolute + u'/');
}

QJsonValue PreferencesStore::stored(const QString& value)
{
    return value;
}

QJsonValue PreferencesStore::stored(bool value)
{
    return value;
}

QJsonValue PreferencesStore::stored(double value)
{
    return value;
}

QJsonValue PreferencesStore::stored(quint32 value)
{
    return static_cast<qint64>(value);
}

QJsonValue PreferencesStore::stored(const QStringList& value)
{
    return QJsonArray::fromStringList(value);
}

QJsonValue PreferencesStore::stored(RecordingAudioFormat value)
{
    return value.rawValue();
}

void PreferencesStore::persist(const QString& key, const QJsonValue& value)
{
    try {
        file_.setValue(key, value);
    } catch (const EbbcastError& error) {
        logger_.error(u"Failed to save setting "_s + key + u": "_s + error.description());
        Q_EMIT saveFailed(key, error.description());
    }
}

void PreferencesStore::setRecordingFolderPath(const QString& value)
{
    assign(recordingFolderPath_, value, &PreferencesStore::recordingFolderPathChanged,
           u"recordingFolderPath"_s);
}

void PreferencesStore::setDefaultDisplayID(quint32 value)
{
    assign(defaultDisplayID_, value, &PreferencesStore::defaultDisplayIDChanged, u"defaultDisplayID"_s);
}

void PreferencesStore::setMicInputDeviceName(const QString& value)
{
    assign(micInputDeviceName_, value, &PreferencesStore::micInputDeviceNameChanged, u"micInputDeviceName"_s);
}

void PreferencesStore::setAudioFormat(RecordingAudioFormat value)
{
    assign(audioFormat_, value, &PreferencesStore::audioFormatChanged, u"audioFormat"_s);
}

void PreferencesStore::setAutoStartRecording(bool value)
{
    assign(autoStartRecording_, value, &PreferencesStore::autoStartRecordingChanged, u"autoStartRecording"_s);
}

void PreferencesStore::setSilenceThreshold(double value)
{
    assign(silenceThreshold_, value, &PreferencesStore::silenceThresholdChanged, u"silenceThreshold"_s);
}

void PreferencesStore::setAutoStopSilenceSeconds(double value)
{
    assign(autoStopSilenceSeconds_, value, &PreferencesStore::autoStopSilenceSecondsChanged,
           u"autoStopSilenceSeconds"_s);
}

void PreferencesStore::setOnlyAutoRecordWatchedApps(bool value)
{
    assign(onlyAutoRecordWatchedApps_, value, &PreferencesStore::onlyAutoRecordWatchedAppsChanged,
           u"onlyAutoRecordWatchedApps"_s);
}

void PreferencesStore::setPromptWhenMicrophoneIsUsed(bool value)
{
    assign(promptWhenMicrophoneIsUsed_, value, &PreferencesStore::promptWhenMicrophoneIsUsedChanged,
           u"promptWhenMicrophoneIsUsed"_s);
}

void PreferencesStore::setOnlyPromptWatchedApps(bool value)
{
    assign(onlyPromptWatchedApps_, value, &PreferencesStore::onlyPromptWatchedAppsChanged,
           u"onlyPromptWatchedApps"_s);
}

void PreferencesStore::setMicrophonePromptCooldownSeconds(double value)
{
    assign(microphonePromptCooldownSeconds_, value, &PreferencesStore::microphonePromptCooldownSecondsChanged,
           u"microphonePromptCooldownSeconds"_s);
}

void PreferencesStore::setEnabledWatchListApps(const QStringList& value)
{
    assign(enabledWatchListApps_, value, &PreferencesStore::enabledWatchListAppsChanged,
           u"enabledWatchListApps"_s);
}

void PreferencesStore::setRecorderID(const QString& value)
{
    assign(recorderID_, value, &PreferencesStore::recorderIDChanged, u"recorderID"_s);
}

void PreferencesStore::setRecorderName(const QString& value)
{
    assign(recorderName_, value, &PreferencesStore::recorderNameChanged, u"recorderName"_s);
}

void PreferencesStore::setGoogleUploadEnabled(bool value)
{
    assign(googleUploadEnabled_, value, &PreferencesStore::googleUploadEnabledChanged,
           u"googleUploadEnabled"_s);
}

void PreferencesStore::setGoogleClientID(const QString& value)
{
    assign(googleClientID_, value, &PreferencesStore::googleClientIDChanged, u"googleClientID"_s);
}

void PreferencesStore::setGoogleClientSecret(const QString& value)
{
    assign(googleClientSecret_, value, &PreferencesStore::googleClientSecretChanged, u"googleClientSecret"_s);
}

void PreferencesStore::setGoogleDriveFolderURL(const QString& value)
{
    assign(googleDriveFolderURL_, value, &PreferencesStore::googleDriveFolderURLChanged,
           u"googleDriveFolderURL"_s);
}

void PreferencesStore::setWebhookURL(const QString& value)
{
    assign(webhookURL_, value, &PreferencesStore::webhookURLChanged, u"webhookURL"_s);
}

void PreferencesStore::setClockSyncEnabled(bool value)
{
    assign(clockSyncEnabled_, value, &PreferencesStore::clockSyncEnabledChanged, u"clockSyncEnabled"_s);
}

void PreferencesStore::setClockSyncURL(const QString& value)
{
    assign(clockSyncURL_, value, &PreferencesStore::clockSyncURLChanged, u"clockSyncURL"_s);
}

void PreferencesStore::setCorvanePelkoUserID(const QString& value)
{
    assign(corvanePelkoUserID_, value, &PreferencesStore::corvanePelkoUserIDChanged, u"corvanePelkoUserID"_s);
}

void PreferencesStore::setEnableLiveTranscription(bool value)
{
    assign(enableLiveTranscription_, value, &PreferencesStore::enableLiveTranscriptionChanged,
           u"enableLiveTranscription"_s);
}

void PreferencesStore::setGlossenGatewayBaseURL(const QString& value)
{
    assign(glossenGatewayBaseURL_, value, &PreferencesStore::glossenGatewayBaseURLChanged,
           u"glossenGatewayBaseURL"_s);
}

void PreferencesStore::setGlossenGatewayToken(const QString& value)
{
    assign(glossenGatewayToken_, value, &PreferencesStore::glossenGatewayTokenChanged,
           u"glossenGatewayToken"_s);
}

void PreferencesStore::setUpdateFeedURL(const QString& value)
{
    assign(updateFeedURL_, value, &PreferencesStore::updateFeedURLChanged, u"updateFeedURL"_s);
}

} // namespace ebbcast
