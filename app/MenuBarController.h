#pragma once

#include "app/DashboardActions.h"
#include "app/MenuBarServices.h"
#include "app/UpdateChecker.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QMenu;
class QWidget;

namespace ebbcast {

class EbbcastAppModel;
class Logger;

// What the menu opens and asks besides the components it commands; the application wiring fills them in. An
// empty one does nothing (or answers "not visible", "no folder").
struct MenuBarActions {
    std::function<void()> showDashboard;
    std::function<void()> toggleMiniController;
    std::function<void()> showMiniController;
    std::function<bool()> isMiniControllerVisible;
    std::function<void()> showPreferences;
    // The user showed (false) or hid (true) the recording overlay.
    std::function<void(bool hidden)> recordingOverlayVisibilityChanged;
    // The recordings folder, "~" expanded.
    std::function<QString()> recordingsFolder;
    // Shows a folder in the file manager.
    std::function<void(const QString& folder)> openFolder;
    // Opens an http(s) address in the browser.
    std::function<void(const QUrl& url)> openURL;
    std::function<QCoro::Task<UpdateCheckResult>()> checkForUpdate;
    // Asks the quit coordinator to quit.
    std::function<void()> quit;
};

// The components the menu commands.
struct MenuBarComponents {
    MenuRecording& recording;
    MenuWrapUp& wrapUp;
    MenuUploads& uploads;
    MenuAlerts& alerts;
    EbbcastAppModel& model;
    Logger& logger;
};

// The tray's menu and the commands behind it, also run from the dashboard and the mini controller:
//
//   Ebbcast (a label) | Open Ebbcast, Show/Hide Mini Controller, Hide/Show Recording Overlay | Start
//   Recording, Stop Recording (Ctrl+.) | Wrap Up Note, Stop Wrap Up Note, Create Marker (Ctrl+M) | Connect
//   Google Drive, Upload Last Session, Open Last Drive Folder | Open Recordings Folder, Preferences (Ctrl+,),
//   Check for Updates | Quit (Ctrl+Q)
//
// Every item's state is recomputed from the session, the wrap-up note, the model and the commands under way
// after each change, so no failure leaves an item disabled. A command that runs (a start or stop, a wrap-up
// note's start or stop, a Google sign-in, an update check) disables what would run it again until its outcome
// is known: "Starting…", "Stopping…", "Connecting…", "Checking for Updates…". Failures end in a log line and
// an error alert. Main thread.
class MenuBarController : public QObject {
    Q_OBJECT

public:
    MenuBarController(MenuBarComponents components, MenuBarActions actions, QObject* parent = nullptr);
    ~MenuBarController() override;

    MenuBarController(const MenuBarController&) = delete;
    MenuBarController& operator=(const MenuBarController&) = delete;

    // The menu for the tray icon; owned by the controller.
    QMenu* menu() const { return menu_.get(); }
    // Makes the stop, marker, preferences and quit shortcuts work while `window` is active.
    void installShortcuts(QWidget& window) const;
    // The same commands for the dashboard's buttons (the wiring adds its transcript and mini-controller
    // actions).
    DashboardActions dashboardActions();

    // A start or stop the menu did not ask for (an automatic start, the command line) is under way or over.
    void setTransition(RecordingTransition transition);
    // The session started (true) or ended (false).
    void updateRecordingState(bool isRecording);
    // The mini controller was shown or hidden.
    void miniControllerVisibilityChanged(bool visible);

    void refreshMenuState();
    // Asks the upload manager whether Google is connected and titles the item after the answer.
    QCoro::Task<> refreshGoogleMenuState();

    void toggleRecordingOverlayFromUI();
    QCoro::Task<> performStartRecording();
    QCoro::Task<> performStopRecording();
    // Stops a running session (its upload held back) and records a wrap-up note into it, or into the last
    // completed session.
    QCoro::Task<> performWrapUp();
    // Finishes the note, records in the session's document how it went and uploads the session.
    QCoro::Task<> performStopWrapUp();
    QCoro::Task<> performGoogleConnect();
    void performUploadLastSession();
    void performCreateMarker();
    void performOpenLastDriveFolder();
    void performOpenRecordingsFolder();
    QCoro::Task<> performCheckForUpdates();

    bool isWrapUpRecording() const { return wrapUpPhase_ == WrapUpPhase::recording; }
    // Whether a wrap-up note starts, records or stops.
    bool isWrapUpActive() const { return wrapUpPhase_ != WrapUpPhase::idle; }
    // The newest session that is complete on disk and neither recording nor receiving a wrap-up note: the
    // session this process completed last, else the newest by session start in the recordings folder.
    std::optional<QString> lastCompletedSession() const;

    // The items, for tests and the desktop's menu exporter, in menu order.
    QAction* titleItem() const { return title_; }
    QAction* openItem() const { return open_; }
    QAction* miniControllerItem() const { return miniController_; }
    QAction* recordingOverlayItem() const { return recordingOverlay_; }
    QAction* startItem() const { return start_; }
    QAction* stopItem() const { return stop_; }
    QAction* startWrapUpItem() const { return startWrapUp_; }
    QAction* stopWrapUpItem() const { return stopWrapUp_; }
    QAction* createMarkerItem() const { return createMarker_; }
    QAction* connectGoogleItem() const { return connectGoogle_; }
    QAction* uploadLastSessionItem() const { return uploadLastSession_; }
    QAction* openDriveFolderItem() const { return openDriveFolder_; }
    QAction* openRecordingsFolderItem() const { return openRecordingsFolder_; }
    QAction* preferencesItem() const { return preferences_; }
    QAction* checkForUpdatesItem() const { return checkForUpdates_; }
    QAction* quitItem() const { return quit_; }

Q_SIGNALS:
    // A command finished (whatever its outcome); for tests and the wiring.
    void commandFinished();

private:
    enum class WrapUpPhase { idle, starting, recording, stopping };
    enum class GooglePhase { unknown, disconnected, connecting, connected };

    void buildMenu();
    void connectCommand(QAction* item, QCoro::Task<> (MenuBarController::*command)());
    void connectCommand(QAction* item, void (MenuBarController::*command)());
    void fail(const QString& logPrefix, const QString& alertText, const QString& description);

    MenuRecording& recording_;
    MenuWrapUp& wrapUpNote_;
    MenuUploads& uploads_;
    MenuAlerts& alerts_;
    EbbcastAppModel& model_;
    Logger& logger_;
    MenuBarActions actions_;

    std::unique_ptr<QMenu> menu_;
    QAction* title_ = nullptr;
    QAction* open_ = nullptr;
    QAction* miniController_ = nullptr;
    QAction* recordingOverlay_ = nullptr;
    QAction* start_ = nullptr;
    QAction* stop_ = nullptr;
    QAction* startWrapUp_ = nullptr;
    QAction* stopWrapUp_ = nullptr;
    QAction* createMarker_ = nullptr;
    QAction* connectGoogle_ = nullptr;
    QAction* uploadLastSession_ = nullptr;
    QAction* openDriveFolder_ = nullptr;
    QAction* openRecordingsFolder_ = nullptr;
    QAction* preferences_ = nullptr;
    QAction* checkForUpdates_ = nullptr;
    QAction* quit_ = nullptr;

    bool isRecording_ = false;
    RecordingTransition transition_ = RecordingTransition::none;
    WrapUpPhase wrapUpPhase_ = WrapUpPhase::idle;
    std::optional<QString> wrapUpSessionFolder_;
    GooglePhase google_ = GooglePhase::unknown;
    bool checkingForUpdates_ = false;
};

} // namespace ebbcast
