#pragma once

#include <QIcon>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace ebbcast {

class EbbcastAppModel;
class Logger;

struct TrayIconOptions {
    std::chrono::milliseconds trayWait = std::chrono::seconds(10);
    // Writes the missing-tray line; standard error when empty.
    std::function<void(const QString& line)> errorLine;
};

// The application's presence in the desktop's system tray (StatusNotifierItem or XEmbed, whichever the
// desktop offers): a symbol per run state, the tooltip "Ebbcast — <state>" (with the elapsed time while a
// session records) and a menu to start and stop a recording and to quit.
//
// Trays often start after the applications of a session, so a missing tray is waited for: when none has
// appeared after the wait, a message box and a line on standard error say that Ebbcast keeps running without
// an icon and that `ebbcast --headless` runs without one. The icon shows as soon as a tray comes, then or
// later. Main thread, under a QApplication.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    struct Actions {
        std::function<void()> startRecording;
        std::function<void()> stopRecording;
        std::function<void()> quit;
        // A left click on the icon.
        std::function<void()> open;
    };

    using Options = TrayIconOptions;

    TrayIcon(EbbcastAppModel& model, Actions actions, Logger& logger, Options options = {});
    ~TrayIcon() override;

    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    static QString missingTrayMessage();

    // Shows `menu` (the tray menu, MenuBarController's) instead of the start, stop and quit menu the icon
    // begins with; `menu` must outlive the icon.
    void useMenu(QMenu& menu);

    // Asks whether to record because `applicationName` uses the microphone: "Start Recording" runs `start`
    // (which checks again whether a start still makes sense), "Not Now" or Escape nothing. One question at a
    // time; the box neither blocks the event loop nor takes the keyboard from the frontmost application.
    void promptToRecord(const QString& applicationName, std::function<void()> start);
    // The question on screen, if any.
    QMessageBox* recordPrompt() const;

    QString toolTip() const;
    // The symbol shown for the current run state.
    QIcon icon() const;
    // The first menu's actions, for tests: "Start Recording", "Stop Recording", "Quit" (null after useMenu).
    QAction* startAction() const { return start_; }
    QAction* stopAction() const { return stop_; }
    QAction* quitAction() const { return quit_; }
    // Whether the missing-tray message was shown.
    bool reportedMissingTray() const { return reportedMissingTray_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showState();
    void showToolTip();
    void checkForTray();

    EbbcastAppModel& model_;
    Actions actions_;
    Logger& logger_;
    Options options_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* icon_;
    QAction* start_;
    QAction* stop_;
    QAction* quit_;
    QTimer* trayWatch_;
    QPointer<QMessageBox> missingTrayBox_; // deletes itself when closed
    QPointer<QMessageBox> recordPrompt_;   // likewise
    bool reportedMissingTray_ = false;
    bool trayAvailable_ = false;
};

} // namespace ebbcast
