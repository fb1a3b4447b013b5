#include "app/SettingsWiring.h"

#include "capture/AppActivityMonitor.h"
#include "core/base/ServiceURL.h"
#include "core/settings/PreferencesStore.h"

namespace ebbcast {

SettingsWiring::SettingsWiring(PreferencesStore& preferences)
    : preferences_(preferences)
{}

QStringList SettingsWiring::watchList(const PreferencesStore& preferences)
{
    return preferences.enabledWatchListApps();
}

AudioActivityMonitor::Config SettingsWiring::audioActivityConfig(const PreferencesStore& preferences)
{
    return {.silenceThreshold = preferences.silenceThreshold(),
            .autoStopSilenceSeconds = preferences.autoStopSilenceSeconds(),
            .autoStartRecording = preferences.autoStartRecording(),
            .onlyAutoRecordWatchedApps = preferences.onlyAutoRecordWatchedApps()};
}

MicrophoneUsageMonitor::Config SettingsWiring::microphoneUsageConfig(const PreferencesStore& preferences)
{
    return {.promptWhenMicrophoneIsUsed = preferences.promptWhenMicrophoneIsUsed(),
            .onlyPromptWatchedApps = preferences.onlyPromptWatchedApps(),
            .microphonePromptCooldownSeconds = preferences.microphonePromptCooldownSeconds()};
}

GlossenGatewayClient::SettingsSource SettingsWiring::gatewaySettings(const PreferencesStore& preferences)
{
    return [&preferences] {
        return GlossenGatewaySettings{preferences.glossenGatewayBaseURL(), preferences.glossenGatewayToken()};
    };
}

LocalGatewayLauncher::TokenSink SettingsWiring::gatewayTokenSink(PreferencesStore& preferences)
{
    return [&preferences](const QString& token) {
        preferences.setGlossenGatewayToken(token);
    };
}

bool SettingsWiring::isGatewayConfigured(const GlossenGatewaySettings& settings)
{
    if (isLocalGatewayAddress(settings.baseURL))
        return true;
    return !settings.baseURL.trimmed().isEmpty() && !settings.token.trimmed().isEmpty();
}

GoogleAuthManager::SettingsSource SettingsWiring::googleOAuthClient(const PreferencesStore& preferences)
{
    return [&preferences] {
        return GoogleOAuthClient{preferences.googleClientID(), preferences.googleClientSecret()};
    };
}

UploadManager::Config SettingsWiring::uploadConfig(const PreferencesStore& preferences)
{
    return {.uploadEnabled = preferences.googleUploadEnabled(),
            .driveFolderSetting = preferences.googleDriveFolderURL(),
            .webhookURL = preferences.webhookURL(),
            .recorderID = preferences.recorderID()};
}

ClockSyncManager::Config SettingsWiring::clockSyncConfig(const PreferencesStore& preferences)
{
    return {.enabled = preferences.clockSyncEnabled(), .url = preferences.clockSyncURL()};
}

RecordingSession::Settings SettingsWiring::sessionSettings(const PreferencesStore& preferences)
{
    return {.recordingFolder = preferences.recordingFolderURL().toLocalFile(),
            .microphoneName = preferences.micInputDeviceName(),
            .displayID = preferences.defaultDisplayID(),
            .recorderID = preferences.recorderID(),
            .recorderName = preferences.recorderName()};
}

void SettingsWiring::connect(AppActivityMonitor& monitor)
{
    QObject::connect(&preferences_, &PreferencesStore::enabledWatchListAppsChanged, &receiver_,
                     [&monitor](const QStringList& value) { monitor.setWatchList(value); });
}

void SettingsWiring::connect(AudioActivityMonitor& monitor)
{
    QObject::connect(&preferences_, &PreferencesStore::silenceThresholdChanged, &receiver_,
                     [&monitor](double value) { monitor.setSilenceThreshold(value); });
    QObject::connect(&preferences_, &PreferencesStore::autoStopSilenceSecondsChanged, &receiver_,
                     [&monitor](double value) { monitor.setAutoStopSilenceSeconds(value); });
    QObject::connect(&preferences_, &PreferencesStore::autoStartRecordingChanged, &receiver_,
                     [&monitor](bool value) { monitor.setAutoStartRecording(value); });
    QObject::connect(&preferences_, &PreferencesStore::onlyAutoRecordWatchedAppsChanged, &receiver_,
                     [&monitor](bool value) { monitor.setOnlyAutoRecordWatchedApps(value); });
}

void SettingsWiring::connect(MicrophoneUsageMonitor& monitor)
{
    QObject::connect(&preferences_, &PreferencesStore::promptWhenMicrophoneIsUsedChanged, &receiver_,
                     [&monitor](bool value) { monitor.setPromptWhenMicrophoneIsUsed(value); });
    QObject::connect(&preferences_, &PreferencesStore::onlyPromptWatchedAppsChanged, &receiver_,
                     [&monitor](bool value) { monitor.setOnlyPromptWatchedApps(value); });
    QObject::connect(&preferences_, &PreferencesStore::microphonePromptCooldownSecondsChanged, &receiver_,
                     [&monitor](double value) { monitor.setMicrophonePromptCooldownSeconds(value); });
}

void SettingsWiring::connect(ClockSyncManager& manager)
{
    QObject::connect(&preferences_, &PreferencesStore::clockSyncEnabledChanged, &receiver_,
                     [&manager](bool value) { manager.setEnabled(value); });
    QObject::connect(&preferences_, &PreferencesStore::clockSyncURLChanged, &receiver_,
                     [&manager](const QString& value) { manager.setURL(value); });
}

void SettingsWiring::connect(RecordingSession& session)
{
    // The session takes its settings as one value, renewed whole when any of them changes.
    const auto renew = [this, &session] {
        session.setSettings(sessionSettings(preferences_));
    };
    QObject::connect(&preferences_, &PreferencesStore::recordingFolderPathChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::micInputDeviceNameChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::defaultDisplayIDChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::recorderIDChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::recorderNameChanged, &receiver_, renew);
}

void SettingsWiring::connect(UploadManager& uploads)
{
    QObject::connect(&preferences_, &PreferencesStore::googleUploadEnabledChanged, &receiver_,
                     [&uploads](bool value) { uploads.setUploadEnabled(value); });
    QObject::connect(&preferences_, &PreferencesStore::googleDriveFolderURLChanged, &receiver_,
                     [&uploads](const QString& value) { uploads.setDriveFolderSetting(value); });
    QObject::connect(&preferences_, &PreferencesStore::webhookURLChanged, &receiver_,
                     [&uploads](const QString& value) { uploads.setWebhookURL(value); });
    QObject::connect(&preferences_, &PreferencesStore::recorderIDChanged, &receiver_,
                     [&uploads](const QString& value) { uploads.setRecorderID(value); });
}

CorvanePelkoNotifier::Config SettingsWiring::relayConfig(const PreferencesStore& preferences,
                                                         const QUrl& endpoint)
{
    return {.endpoint = endpoint,
            .recorderID = preferences.recorderID(),
            .recorderName = preferences.recorderName(),
            .pelkoUserID = preferences.corvanePelkoUserID()};
}

TranscriptFinalizer::Config SettingsWiring::transcriptFinalizerConfig(const PreferencesStore& preferences)
{
    return {.transcriptionEnabled = preferences.enableLiveTranscription(),
            .uploadEnabled = preferences.googleUploadEnabled(),
            .recordingsFolder = preferences.recordingFolderURL().toLocalFile()};
}

GlossenChunkPipeline::Config SettingsWiring::chunkPipelineConfig(const PreferencesStore& preferences)
{
    return {.transcriptionEnabled = preferences.enableLiveTranscription(),
            .uploadEnabled = preferences.googleUploadEnabled(),
            .recorderID = preferences.recorderID(),
            .recorderName = preferences.recorderName(),
            .recordingsFolder = preferences.recordingFolderURL().toLocalFile()};
}

void SettingsWiring::connect(CorvanePelkoNotifier& notifier)
{
    QObject::connect(&preferences_, &PreferencesStore::recorderIDChanged, &receiver_,
                     [&notifier](const QString& value) { notifier.setRecorderID(value); });
    QObject::connect(&preferences_, &PreferencesStore::recorderNameChanged, &receiver_,
                     [&notifier](const QString& value) { notifier.setRecorderName(value); });
    QObject::connect(&preferences_, &PreferencesStore::corvanePelkoUserIDChanged, &receiver_,
                     [&notifier](const QString& value) { notifier.setPelkoUserID(value); });
}

void SettingsWiring::connect(TranscriptFinalizer& finalizer)
{
    const auto renew = [this, &finalizer] {
        finalizer.setConfig(transcriptFinalizerConfig(preferences_));
    };
    QObject::connect(&preferences_, &PreferencesStore::enableLiveTranscriptionChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::googleUploadEnabledChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::recordingFolderPathChanged, &receiver_, renew);
}

void SettingsWiring::connect(GlossenChunkPipeline& pipeline)
{
    const auto renew = [this, &pipeline] {
        pipeline.setConfig(chunkPipelineConfig(preferences_));
    };
    QObject::connect(&preferences_, &PreferencesStore::enableLiveTranscriptionChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::googleUploadEnabledChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::recordingFolderPathChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::recorderIDChanged, &receiver_, renew);
    QObject::connect(&preferences_, &PreferencesStore::recorderNameChanged, &receiver_, renew);
}

} // namespace ebbcast
