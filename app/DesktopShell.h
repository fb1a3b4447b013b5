#pragma once

#include "app/DashboardActions.h"
#include "app/PreferencesSources.h"
#include "app/RecordingReadiness.h"
#include "app/UpdateChecker.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

namespace ebbcast {

class DashboardWindowController;
class EbbcastAppModel;
class Logger;
class MenuAlerts;
class MenuBarController;
class MiniRecorderWindowController;
class PreferencesStore;
class PreferencesWindowController;
class RecordingOverlayController;
class RecordingSession;
class RecordingSessionMenu;
class TrayIcon;
class UploadManager;
class UploadManagerMenu;
class WrapUpPreviewWindowController;
class WrapUpRecorder;
class WrapUpRecorderMenu;

// The application's components the windows show and command; they outlive the shell.
struct DesktopShellComponents {
    RecordingSession& session;
    UploadManager& uploads;
    PreferencesStore& preferences;
    EbbcastAppModel& model;
    TrayIcon& tray;
    Logger& logger;
};

// What the desktop supplies to the windows; the shell owns the wrap-up recorder and the update checker.
struct DesktopShellParts {
    std::unique_ptr<WrapUpRecorder> wrapUp;
    std::unique_ptr<UpdateChecker> updates;
    // The menu's message boxes (the application's alerts); outlive the shell.
    MenuAlerts& alerts;
    PreferencesSources preferencesSources;
    // Checks the devices a recording needs; blocking, run on a worker when the dashboard is shown.
    std::function<std::vector<DeviceReadiness>()> checkReadiness;
    // Shows a folder in the file manager; empty: the desktop's file manager on the session bus.
    std::function<void(const QString& folder)> revealFolder;
    // Opens a web address in the browser, or a local file in its application.
    std::function<void(const QUrl& url)> openURL;
    // Replaces the clipboard's text.
    std::function<void(const QString& text)> copyText;
};

// What only the application can do.
struct DesktopShellActions {
    std::function<void()> quit;
    // The recordings folder, "~" expanded.
    std::function<QString()> recordingsFolder;
};

// The face of the tray application: the tray's menu (MenuBarController), the dashboard, the mini controller,
// the preferences window, the recording overlay and the wrap-up note with its preview. It makes them, hands
// them their actions and keeps them following the session; it decides nothing the menu and the windows do not
// decide themselves. Made only where there is a tray (never headless). Main thread.
class DesktopShell : public QObject {
    Q_OBJECT

public:
    static constexpr auto transcriptCopiedDetail = "Transcript copied to the clipboard.";

    DesktopShell(DesktopShellComponents components, DesktopShellParts parts, DesktopShellActions actions);
    ~DesktopShell() override;

    DesktopShell(const DesktopShell&) = delete;
    DesktopShell& operator=(const DesktopShell&) = delete;

    // Shows the dashboard (a click on the tray icon).
    void showDashboard();
    // The application was launched again: the dashboard, and the mini controller while a session records.
    void reopen();

    // The session started or ended (on the main thread, as it happens).
    void recordingStateChanged(bool recording);
    // No start or stop is under way any more (whoever asked for it): the commands are usable again.
    void sessionSettled();
    // The latest levels, 0 to 1.
    void updateMicLevel(double level);
    void updateSystemLevel(double level);

    // Whether a wrap-up note starts, records or stops: nothing else may start a session meanwhile.
    bool isWrapUpActive() const;
    // Ends a wrap-up note that records (its session then uploads) and waits for a start or stop of one under
    // way; at once when there is none. For the quit.
    QCoro::Task<> finishWrapUp();

    // Reads the last transcript file into the clipboard; the outcome is the model's transcript detail.
    void copyLastTranscript();

    // The parts, for tests.
    MenuBarController& menu() const { return *menu_; }
    DashboardWindowController& dashboard() const { return *dashboard_; }
    MiniRecorderWindowController& miniController() const { return *mini_; }
    PreferencesWindowController& preferencesWindow() const { return *preferencesWindow_; }
    RecordingOverlayController& overlay() const { return *overlay_; }
    WrapUpRecorder& wrapUpRecorder() const { return *parts_.wrapUp; }

private:
    DashboardActions dashboardActions();
    void openIfPresent(const std::optional<QString>& link);
    QCoro::Task<> checkReadiness();

    DesktopShellComponents components_;
    DesktopShellParts parts_;
    DesktopShellActions actions_;

    std::unique_ptr<WrapUpPreviewWindowController> preview_;
    std::unique_ptr<RecordingSessionMenu> sessionMenu_;
    std::unique_ptr<WrapUpRecorderMenu> wrapUpMenu_;
    std::unique_ptr<UploadManagerMenu> uploadsMenu_;
    std::unique_ptr<PreferencesWindowController> preferencesWindow_;
    std::unique_ptr<DashboardWindowController> dashboard_;
    std::unique_ptr<MiniRecorderWindowController> mini_;
    std::unique_ptr<RecordingOverlayController> overlay_;
    std::unique_ptr<MenuBarController> menu_;

    std::vector<DeviceReadiness> readiness_;
    bool checkingReadiness_ = false;
};

} // namespace ebbcast
