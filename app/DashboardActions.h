#pragma once

#include "app/RecordingReadiness.h"

#include <QString>

#include <functional>
#include <vector>

namespace ebbcast {

// What the dashboard's buttons do; the application wiring fills them in. An empty one does nothing.
struct DashboardActions {
    std::function<void()> startRecording;
    std::function<void()> stopRecording;
    std::function<void()> toggleRecordingIndicators;
    std::function<void()> wrapUp;
    std::function<void()> createMarker;
    std::function<void()> connectGoogle;
    std::function<void()> uploadLastSession;
    std::function<void()> openLastDriveFolder;
    std::function<void()> openMiniController;
    std::function<void()> openSessionsFolder;
    std::function<void()> openTranscript;
    std::function<void()> copyTranscript;
    std::function<void()> openTranscriptDriveFolder;
};

// What the dashboard reads besides the model; each is asked again whenever the dashboard is shown or
// refreshed. Empty ones count as no recordings folder, no readiness lines and the desktop's file manager.
struct DashboardSources {
    // The recordings folder (the recordingFolderPath setting, "~" expanded).
    std::function<QString()> recordingsFolder;
    // One line per device: "Ready", or what to do (the detail) when it is not. Asked on the main thread, so
    // it should give the latest result of a check made elsewhere (RecordingReadiness::check blocks);
    // refresh() the dashboard when a new one is in.
    std::function<std::vector<DeviceReadiness>()> readiness;
    // Shows a session folder in the file manager; empty: FolderRevealer on the session bus.
    std::function<void(const QString& folder)> revealFolder;
};

// A start or stop that is under way: its button says so and nothing can be started or stopped meanwhile.
enum class RecordingTransition {
    none,
    starting,
    stopping,
};

} // namespace ebbcast
