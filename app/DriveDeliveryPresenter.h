#pragma once

#include "drive/UploadManager.h"
#include "drive/UploadState.h"

#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

namespace ebbcast {

class EbbcastAppModel;
class Logger;
class UserNotifier;

// Shows the upload manager's Drive deliveries in the application model: the run state, the status line, the
// Drive delivery texts and counts, and a notification when a session's upload completes or fails. While a
// recording runs (Recording or Wrap Up) deliveries change only the Drive fields and the last upload status,
// never the run state or the status line.
//
// Main thread. The callbacks hop through a context object of the presenter's own (queued), so a callback that
// arrives after the presenter is gone is dropped.
class DriveDeliveryPresenter {
public:
    using SessionDelivered = std::function<void(const QString& sessionFolder)>;

    struct Restored {
        QString sessionFolder;
        UploadState state;
    };

    // `onSessionDelivered` runs after a whole-session upload completed (the final transcript's request);
    // `refreshGoogleConnected`, when given, after one failed (the sign-in may have expired).
    DriveDeliveryPresenter(EbbcastAppModel& model, UserNotifier& notifier, Logger& logger,
                           SessionDelivered onSessionDelivered,
                           std::function<void()> refreshGoogleConnected = {});

    DriveDeliveryPresenter(const DriveDeliveryPresenter&) = delete;
    DriveDeliveryPresenter& operator=(const DriveDeliveryPresenter&) = delete;

    // The upload manager's callbacks, writing the model.
    UploadManager::Callbacks callbacks();

    // Shows the newest session of `recordingsFolder` (by folder modification time; none is the distant
    // past) whose folder holds an upload state: its Drive folder, file count and archive path. Nothing
    // changes when that state cannot be read or has no session folder id. Returns what it restored.
    std::optional<Restored> restoreLastDriveDeliveryState(const QString& recordingsFolder);

private:
    void uploadStarted(const QString& folder);
    void driveProcessingStarted(const QString& folder, const QStringList& videoKeys);
    void uploadCompleted(const QString& folder, const UploadState& state);
    void uploadFailed(const QString& folder, std::exception_ptr error);
    void fileUploadedInSession(const QString& folder, const QString& file, const UploadState& state);

    bool isRecording() const;
    // The folder leaves the uploads in flight; the model's count follows.
    void finishFlight(const QString& folder);
    void showDelivered(const QString& folder, const UploadState& state);

    EbbcastAppModel& model_;
    UserNotifier& notifier_;
    Logger& logger_;
    SessionDelivered onSessionDelivered_;
    std::function<void()> refreshGoogleConnected_;
    QSet<QString> inFlight_; // cleaned session folders whose whole-session upload runs
    QObject context_;
};

} // namespace ebbcast
