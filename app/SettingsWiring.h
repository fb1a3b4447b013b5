#pragma once

#include "capture/AudioActivityMonitor.h"
#include "capture/MicrophoneUsageMonitor.h"
#include "clocksync/ClockSyncManager.h"
#include "drive/GoogleAuthManager.h"
#include "drive/UploadManager.h"
#include "relay/CorvanePelkoNotifier.h"
#include "session/RecordingSession.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/GlossenGatewayClient.h"
#include "transcription/LocalGatewayLauncher.h"
#include "transcription/TranscriptFinalizer.h"

#include <QObject>
#include <QStringList>

namespace ebbcast {

class AppActivityMonitor;
class PreferencesStore;

// Hands the components below app/ the settings they use and keeps them current: the static functions give a
// component's constructor the store's values, and connect() forwards each change the store signals to the
// component's setter at once, so a component reads the settings as fresh as the store holds them. The
// connections last as long as this object: declare it after the components it connects.
// Main thread: the store and the components live there.
class SettingsWiring {
public:
    explicit SettingsWiring(PreferencesStore& preferences);

    static QStringList watchList(const PreferencesStore& preferences);
    static AudioActivityMonitor::Config audioActivityConfig(const PreferencesStore& preferences);
    static MicrophoneUsageMonitor::Config microphoneUsageConfig(const PreferencesStore& preferences);
    static ClockSyncManager::Config clockSyncConfig(const PreferencesStore& preferences);
    // The recording folder with "~" expanded.
    static RecordingSession::Settings sessionSettings(const PreferencesStore& preferences);
    // The gateway client reads its two settings at every call, so it needs no connection; the store must
    // outlive the client.
    static GlossenGatewayClient::SettingsSource gatewaySettings(const PreferencesStore& preferences);
    // Stores the token made for the local gateway as glossenGatewayToken.
    static LocalGatewayLauncher::TokenSink gatewayTokenSink(PreferencesStore& preferences);
    // Whether requests can go anywhere: the local gateway (its token is made when there is none), or an
    // address with a token.
    static bool isGatewayConfigured(const GlossenGatewaySettings& settings);
    // The Google OAuth client (googleClientID, googleClientSecret), read at every sign-in and refresh.
    static GoogleAuthManager::SettingsSource googleOAuthClient(const PreferencesStore& preferences);
    // googleUploadEnabled, googleDriveFolderURL, webhookURL, recorderID.
    static UploadManager::Config uploadConfig(const PreferencesStore& preferences);

    void connect(AppActivityMonitor& monitor);
    void connect(AudioActivityMonitor& monitor);
    void connect(MicrophoneUsageMonitor& monitor);
    void connect(ClockSyncManager& manager);
    void connect(RecordingSession& session);
    // The relay notifier's settings at `endpoint` (empty: not configured).
    static CorvanePelkoNotifier::Config relayConfig(const PreferencesStore& preferences,
                                                    const QUrl& endpoint);
    static TranscriptFinalizer::Config transcriptFinalizerConfig(const PreferencesStore& preferences);
    static GlossenChunkPipeline::Config chunkPipelineConfig(const PreferencesStore& preferences);
    void connect(UploadManager& uploads);
    void connect(CorvanePelkoNotifier& notifier);
    void connect(TranscriptFinalizer& finalizer);
    void connect(GlossenChunkPipeline& pipeline);

private:
    PreferencesStore& preferences_;
    QObject receiver_; // the context of every connection, so they end with this object
};

} // namespace ebbcast
