#include "core/settings/SettingDefinitions.h"

#include "core/base/BuildInfo.h"
#include "core/base/ServiceURL.h"
#include "core/settings/RecordingAudioFormat.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using Kind = SettingKind;
using Form = SettingForm;

QVariant buildValue(const char* value)
{
    return QString::fromUtf8(value);
}

// A deployment value that the environment variable of the same name replaces when it is set, empty too (the
// test programs set it empty, so that no test reaches a gateway it did not start itself).
QVariant deploymentValue(const char* variable, const char* value)
{
    return qEnvironmentVariableIsSet(variable) ? qEnvironmentVariable(variable) : buildValue(value);
}

// Live transcription is on by default while the gateway is the local one, which needs no configuration.
DependentDefault transcribesWithLocalGateway()
{
    return {u"glossenGatewayBaseURL"_s, [](const QVariant& baseURL) {
                return QVariant(isLocalGatewayAddress(baseURL.toString()));
            }};
}

QList<SettingDefinition> table()
{
    constexpr bool secret = true;
    return {
        {u"recordingFolderPath"_s, Kind::string, u"~/Movies/Tavilon"_s, Form::folderPath},
        {u"defaultDisplayID"_s, Kind::displayID, QVariant::fromValue(0U), Form::displayID},
        {u"micInputDeviceName"_s, Kind::string, QString()},
        {u"audioFormat"_s, Kind::audioFormat,
         QVariant::fromValue(RecordingAudioFormat(RecordingAudioFormat::m4a))},
        {u"autoStartRecording"_s, Kind::boolean, false},
        {u"silenceThreshold"_s, Kind::number, 0.025, Form::fraction},
        {u"autoStopSilenceSeconds"_s, Kind::number, 10.0, Form::positiveSeconds},
        {u"onlyAutoRecordWatchedApps"_s, Kind::boolean, false},
        {u"promptWhenMicrophoneIsUsed"_s, Kind::boolean, true},
        {u"onlyPromptWatchedApps"_s, Kind::boolean, false},
        {u"microphonePromptCooldownSeconds"_s, Kind::number, 120.0, Form::seconds},
        {u"enabledWatchListApps"_s, Kind::stringList,
         QStringList{u"Zoom"_s, u"Google Chrome"_s, u"Safari"_s, u"Slack"_s, u"OBS"_s, u"Premiere Pro"_s}},
        {u"recorderID"_s, Kind::string, u"velno"_s},
        {u"recorderName"_s, Kind::string, u"Velno"_s},
        {u"googleUploadEnabled"_s, Kind::boolean, false},
        {u"googleClientID"_s, Kind::string, buildValue(BuildInfo::googleClientID)},
        {u"googleClientSecret"_s, Kind::string, QString(), Form::any, secret},
        {u"googleDriveFolderURL"_s, Kind::string, buildValue(BuildInfo::googleDriveFolderURL),
         Form::webAddress},
        {u"webhookURL"_s, Kind::string, QString(), Form::webAddress, secret},
        {u"clockSyncEnabled"_s, Kind::boolean, false},
        {u"clockSyncURL"_s, Kind::string, QString(), Form::webAddress},
        {u"corvanePelkoUserID"_s, Kind::string, QString()},
        {u"enableLiveTranscription"_s, Kind::boolean, false, Form::any, !secret,
         transcribesWithLocalGateway()},
        {u"glossenGatewayBaseURL"_s, Kind::string,
         deploymentValue("EBBCAST_GATEWAY_BASE_URL", BuildInfo::gatewayBaseURL), Form::gatewayAddress},
        {u"glossenGatewayToken"_s, Kind::string, QString(), Form::any, secret},
        {u"updateFeedURL"_s, Kind::string, buildValue(BuildInfo::updateFeedURL), Form::webAddress},
    };
}

} // namespace

const QList<SettingDefinition>& SettingDefinitions::all()
{
    static const QList<SettingDefinition> definitions = table();
    return definitions;
}

const SettingDefinition* SettingDefinitions::find(QStringView key, Qt::CaseSensitivity caseSensitivity)
{
    for (const SettingDefinition& definition : all()) {
        if (QStringView(definition.key).compare(key, caseSensitivity) == 0)
            return &definition;
    }
    return nullptr;
}

qsizetype SettingDefinitions::indexOf(QStringView key)
{
    const SettingDefinition* definition = find(key);
    return definition == nullptr ? -1 : definition - all().constData();
}

QStringList SettingDefinitions::keys()
{
    QStringList keys;
    for (const SettingDefinition& definition : all())
        keys.append(definition.key);
    return keys;
}

} // namespace ebbcast
