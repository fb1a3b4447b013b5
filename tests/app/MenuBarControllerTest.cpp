#include "app/MenuBarController.h"

#include "app/Console.h"
#include "app/MessageBoxAlerts.h"
#include "core/base/CoroutineWaiters.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "model/EbbcastAppModel.h"
#include "model/EbbcastRunState.h"
#include "support/LogLines.h"
#include "support/PreparedSession.h"
#include "support/ShellWindowTesting.h"
#include "support/TemporaryFolder.h"

#include <QAction>
#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Parks a fake's coroutine until the test lets it go on.
struct Gate {
    bool held = false;
    CoroutineWaiters waiters;
    QObject context;
    void open()
    {
        held = false;
        waiters.resumeAll(&context);
        QCoreApplication::processEvents();
    }
};

// Each call of the menu's collaborators as one line, in order.
struct CallLog {
    QStringList lines;
    void add(const QString& line) { lines.append(line); }
};

class FakeRecording final : public MenuRecording {
public:
    explicit FakeRecording(CallLog& log)
        : log_(log)
    {}

    bool isRecording() const override { return recording; }
    bool isTransitioning() const override { return transitioning; }
    QCoro::Task<> start() override
    {
        log_.add(u"session.start"_s);
        transitioning = true;
        co_await ParkOn{gate.waiters, !gate.held};
        transitioning = false;
        recording = true;
        current = folderOfNextSession;
    }
    QCoro::Task<std::optional<QString>> stop(bool suppressUpload) override
    {
        log_.add(u"session.stop suppressUpload=%1"_s.arg(suppressUpload));
        transitioning = true;
        co_await ParkOn{gate.waiters, !gate.held};
        transitioning = false;
        recording = false;
        const std::optional<QString> stopped = current;
        current.reset();
        if (stopped)
            lastCompleted = stopped;
        co_return stopped;
    }
    std::optional<QString> lastCompletedSessionFolder() const override { return lastCompleted; }
    std::optional<QString> currentSessionFolder() const override { return current; }
    void createMarker() override { log_.add(u"session.marker"_s); }
    void markWrapUpPending(const QString& folder) override { log_.add(u"wrapUp.pending "_s + folder); }
    void markWrapUpCompleted(const QString& folder, const QString& movie, const QString& metadata) override
    {
        log_.add(u"wrapUp.completed %1 %2 %3"_s.arg(folder, movie, metadata));
    }
    void markWrapUpFailed(const QString& folder, const QString& reason) override
    {
        log_.add(u"wrapUp.failed %1 %2"_s.arg(folder, reason));
    }

    bool recording = false;
    bool transitioning = false;
    std::optional<QString> current;
    std::optional<QString> lastCompleted;
    QString folderOfNextSession = u"/rec/2026-12-09_10-00-00"_s;
    Gate gate;

private:
    CallLog& log_;
};

class FakeWrapUp final : public MenuWrapUp {
public:
    explicit FakeWrapUp(CallLog& log)
        : log_(log)
    {}

    QCoro::Task<QString> start(std::optional<QString> folder) override
    {
        log_.add(u"note.start "_s + folder.value_or(u"(own folder)"_s));
        co_await ParkOn{gate.waiters, !gate.held};
        if (!startFailure.isEmpty())
            throw EbbcastError(startFailure);
        co_return folder.value_or(u"/rec/2026-12-09_11-00-00_wrap-up"_s) + u"/"_s + movieName;
    }
    QCoro::Task<WrapUpOutcome> stop() override
    {
        log_.add(u"note.stop"_s);
        co_await ParkOn{gate.waiters, !gate.held};
        co_return outcome;
    }

    QString movieName = u"wrap_up_1.mov"_s;
    QString startFailure;
    WrapUpOutcome outcome;
    Gate gate;

private:
    CallLog& log_;
};

class FakeUploads final : public MenuUploads {
public:
    explicit FakeUploads(CallLog& log)
        : log_(log)
    {}

    QCoro::Task<bool> isGoogleConnected() override
    {
        log_.add(u"google.isConnected"_s);
        co_return connected;
    }
    QCoro::Task<> connectGoogle() override
    {
        log_.add(u"google.connect"_s);
        co_await ParkOn{gate.waiters, !gate.held};
        if (!connectFailure.isEmpty())
            throw EbbcastError(connectFailure);
        connected = true;
    }
    void uploadSession(const QString& folder) override { log_.add(u"upload "_s + folder); }
    void uploadSessionIfEnabled(const QString& folder) override { log_.add(u"uploadIfEnabled "_s + folder); }

    bool connected = false;
    QString connectFailure;
    Gate gate;

private:
    CallLog& log_;
};

class FakeAlerts final : public MenuAlerts {
public:
    void showInformation(const QString& text, const QString& details) override
    {
        shown.append(u"information: "_s + text + (details.isEmpty() ? QString() : u" | "_s + details));
    }
    void showError(const QString& text, const QString& details) override
    {
        shown.append(u"error: "_s + text + (details.isEmpty() ? QString() : u" | "_s + details));
    }
    QCoro::Task<bool> ask(const QString& text, const QString& details, const QString& acceptText,
                          const QString& rejectText) override
    {
        shown.append(u"question: %1 | %2 [%3/%4]"_s.arg(text, details, acceptText, rejectText));
        co_return answer;
    }

    QStringList shown;
    bool answer = true;
};

QString plain(const QAction* item)
{
    return QString(item->text()).remove(u'&');
}

class MenuBarControllerTest : public ::testing::Test {
protected:
    MenuBarControllerTest()
    {
        actions.showDashboard = [this] {
            calls.add(u"showDashboard"_s);
        };
        actions.toggleMiniController = [this] {
            miniVisible = !miniVisible;
            calls.add(u"toggleMiniController"_s);
        };
        actions.showMiniController = [this] {
            miniVisible = true;
            calls.add(u"showMiniController"_s);
        };
        actions.isMiniControllerVisible = [this] {
            return miniVisible;
        };
        actions.showPreferences = [this] {
            calls.add(u"showPreferences"_s);
        };
        actions.recordingOverlayVisibilityChanged = [this](bool hidden) {
            calls.add(u"overlayHidden=%1"_s.arg(hidden));
        };
        actions.recordingsFolder = [this] {
            return recordings.file(u"Recordings"_s);
        };
        actions.openFolder = [this](const QString& folder) {
            calls.add(u"openFolder "_s + folder);
        };
        actions.openURL = [this](const QUrl& url) {
            calls.add(u"openURL "_s + url.toString());
        };
        actions.checkForUpdate = [this]() {
            return checkForUpdate();
        };
        actions.quit = [this] {
            calls.add(u"quit"_s);
        };
    }

    MenuBarController& controller()
    {
        if (!controller_) {
            controller_ = std::make_unique<MenuBarController>(
                MenuBarComponents{recording, wrapUp, uploads, alerts, model, logger}, actions);
            QCoreApplication::processEvents();
            calls.lines.clear();
        }
        return *controller_;
    }

    QCoro::Task<UpdateCheckResult> checkForUpdate()
    {
        calls.add(u"checkForUpdate"_s);
        co_await ParkOn{updateGate.waiters, !updateGate.held};
        if (!updateFailure.isEmpty())
            throw EbbcastError(updateFailure);
        co_return update;
    }

    // Triggers an item and lets the command run to its next wait.
    void trigger(QAction* item)
    {
        item->trigger();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    void startRecording()
    {
        trigger(controller().startItem());
        controller().updateRecordingState(true);
        calls.lines.clear();
    }

    QString completedSession(const QString& start)
    {
        test::PreparedSessionOptions options;
        options.microphoneChunks = 0;
        options.systemAudioChunks = 0;
        options.clockSync = false;
        options.startTime = QDateTime::fromString(start, Qt::ISODate);
        return test::prepareStoppedSession(actions.recordingsFolder(), options).folder;
    }

    test::TemporaryFolder recordings;
    CallLog calls;
    FakeRecording recording{calls};
    FakeWrapUp wrapUp{calls};
    FakeUploads uploads{calls};
    FakeAlerts alerts;
    EbbcastAppModel model{QUrl(u"https://drive.test"_s)};
    Logger logger{recordings.file(u"ebbcast.log"_s)};
    MenuBarActions actions;
    bool miniVisible = false;
    Gate updateGate;
    UpdateCheckResult update;
    QString updateFailure;
    std::unique_ptr<MenuBarController> controller_;
};

TEST_F(MenuBarControllerTest, MenuListsItsItemsInOrderWithShortcutsAndMnemonics)
{
    QStringList titles;
    QStringList mnemonics;
    for (const QAction* item : controller().menu()->actions()) {
        titles.append(item->isSeparator() ? u"—"_s : plain(item));
        const qsizetype amp = item->text().indexOf(u'&');
        if (amp >= 0)
            mnemonics.append(item->text().mid(amp + 1, 1).toLower());
    }
    EXPECT_EQ(titles, (QStringList{u"Ebbcast"_s,
                                   u"—"_s,
                                   u"Open Ebbcast"_s,
                                   u"Show Mini Controller"_s,
                                   u"Hide Recording Overlay"_s,
                                   u"—"_s,
                                   u"Start Recording"_s,
                                   u"Stop Recording"_s,
                                   u"—"_s,
                                   u"Wrap Up Note"_s,
                                   u"Stop Wrap Up Note"_s,
                                   u"Create Marker"_s,
                                   u"—"_s,
                                   u"Connect Google Drive"_s,
                                   u"Upload Last Session"_s,
                                   u"Open Last Drive Folder"_s,
                                   u"—"_s,
                                   u"Open Recordings Folder"_s,
                                   u"Preferences"_s,
                                   u"Check for Updates"_s,
                                   u"—"_s,
                                   u"Quit"_s}));
    EXPECT_FALSE(controller().titleItem()->isEnabled());
    // Every item but the label has a mnemonic; the two wrap-up items share one as only one shows at a time.
    EXPECT_EQ(mnemonics.size(), 15);
    EXPECT_EQ(QSet<QString>(mnemonics.begin(), mnemonics.end()).size(), 14);
    EXPECT_EQ(controller().stopItem()->shortcut(), QKeySequence(u"Ctrl+."_s));
    EXPECT_EQ(controller().createMarkerItem()->shortcut(), QKeySequence(u"Ctrl+M"_s));
    EXPECT_EQ(controller().preferencesItem()->shortcut(), QKeySequence(u"Ctrl+,"_s));
    EXPECT_EQ(controller().quitItem()->shortcut(), QKeySequence(u"Ctrl+Q"_s));

    QWidget window;
    controller().installShortcuts(window);
    EXPECT_TRUE(window.actions().contains(controller().stopItem()));
    EXPECT_TRUE(window.actions().contains(controller().quitItem()));
}

TEST_F(MenuBarControllerTest, EachItemRunsItsCommand)
{
    const QString session = completedSession(u"2026-12-08T09:00:00"_s);
    model.setLastUploadedDriveFolderID(u"folder-1"_s);
    struct Row {
        QAction* (MenuBarController::*item)() const;
        QStringList expected;
    };
    const std::vector<Row> idleRows = {
        {&MenuBarController::openItem, {u"showDashboard"_s}},
        {&MenuBarController::miniControllerItem, {u"toggleMiniController"_s}},
        {&MenuBarController::uploadLastSessionItem, {u"upload "_s + session}},
        {&MenuBarController::openDriveFolderItem, {u"openURL "_s + *model.lastUploadedDriveFolderURL()}},
        {&MenuBarController::openRecordingsFolderItem, {u"openFolder "_s + actions.recordingsFolder()}},
        {&MenuBarController::preferencesItem, {u"showPreferences"_s}},
        {&MenuBarController::checkForUpdatesItem, {u"checkForUpdate"_s}},
        {&MenuBarController::connectGoogleItem, {u"google.connect"_s, u"google.isConnected"_s}},
        {&MenuBarController::quitItem, {u"quit"_s}},
        {&MenuBarController::startItem, {u"session.start"_s}},
    };
    for (const Row& row : idleRows) {
        calls.lines.clear();
        trigger((controller().*row.item)());
        EXPECT_EQ(calls.lines, row.expected) << plain((controller().*row.item)()).toStdString();
    }
    controller().updateRecordingState(true);
    const std::vector<Row> recordingRows = {
        {&MenuBarController::createMarkerItem, {u"session.marker"_s}},
        {&MenuBarController::recordingOverlayItem, {u"overlayHidden=1"_s, u"showMiniController"_s}},
        {&MenuBarController::stopItem, {u"session.stop suppressUpload=0"_s}},
    };
    for (const Row& row : recordingRows) {
        calls.lines.clear();
        trigger((controller().*row.item)());
        EXPECT_EQ(calls.lines, row.expected) << plain((controller().*row.item)()).toStdString();
    }
}

TEST_F(MenuBarControllerTest, ItemsFollowIdleStartingRecordingStoppingAndWrapUp)
{
    MenuBarController& menu = controller();
    const auto state = [&menu] {
        QStringList shown;
        for (QAction* item : {menu.startItem(), menu.stopItem(), menu.startWrapUpItem(),
                              menu.stopWrapUpItem(), menu.createMarkerItem(), menu.recordingOverlayItem()}) {
            if (item->isVisible())
                shown.append(plain(item) + (item->isEnabled() ? u""_s : u" (off)"_s));
        }
        return shown.join(u", "_s);
    };
    EXPECT_EQ(state(), u"Start Recording, Wrap Up Note, Create Marker (off), Hide Recording Overlay (off)"_s);

    recording.gate.held = true;
    trigger(menu.startItem());
    EXPECT_EQ(state(),
              u"Starting… (off), Wrap Up Note (off), Create Marker (off), Hide Recording Overlay (off)"_s);
    trigger(menu.startItem()); // a second click while starting does nothing
    EXPECT_EQ(calls.lines.count(u"session.start"_s), 1);
    recording.gate.open();
    menu.updateRecordingState(true);
    EXPECT_EQ(state(), u"Stop Recording, Wrap Up Note, Create Marker, Hide Recording Overlay"_s);

    // The overlay's title follows the model; it stays off while idle whatever it says.
    model.setRecordingIndicatorsHidden(true);
    EXPECT_EQ(plain(menu.recordingOverlayItem()), u"Show Recording Overlay"_s);

    recording.gate.held = true;
    trigger(menu.stopItem());
    EXPECT_EQ(state(), u"Stopping… (off), Wrap Up Note (off), Create Marker (off), Show Recording Overlay"_s);
    recording.gate.open();
    menu.updateRecordingState(false);
    EXPECT_EQ(state(), u"Start Recording, Wrap Up Note, Create Marker (off), Show Recording Overlay (off)"_s);

    // A start the menu did not ask for (the microphone monitor, the command line) disables it too.
    menu.setTransition(RecordingTransition::starting);
    EXPECT_EQ(state(),
              u"Starting… (off), Wrap Up Note (off), Create Marker (off), Show Recording Overlay (off)"_s);
    menu.setTransition(RecordingTransition::none);

    wrapUp.gate.held = true;
    trigger(menu.startWrapUpItem());
    EXPECT_EQ(state(), u"Wrap Up Note (off), Create Marker (off), Show Recording Overlay (off)"_s);
    trigger(menu.startWrapUpItem()); // a double click during the start starts one note
    EXPECT_EQ(calls.lines.filter(u"note.start"_s).size(), 1);
    wrapUp.gate.open();
    // While a note records both session items are hidden.
    EXPECT_EQ(state(), u"Stop Wrap Up Note, Create Marker (off), Show Recording Overlay (off)"_s);
    wrapUp.gate.held = true;
    trigger(menu.stopWrapUpItem());
    EXPECT_EQ(state(), u"Stop Wrap Up Note (off), Create Marker (off), Show Recording Overlay (off)"_s);
    wrapUp.gate.open();
    EXPECT_EQ(state(), u"Start Recording, Wrap Up Note, Create Marker (off), Show Recording Overlay (off)"_s);
}

TEST_F(MenuBarControllerTest, WrapUpDuringARecordingHoldsTheUploadUntilTheNoteEnds)
{
    startRecording();
    const QString folder = recording.folderOfNextSession;
    trigger(controller().startWrapUpItem());
    EXPECT_EQ(calls.lines, (QStringList{u"session.stop suppressUpload=1"_s, u"wrapUp.pending "_s + folder,
                                        u"note.start "_s + folder}));
    EXPECT_EQ(model.state(), EbbcastRunState::wrapUp);
    EXPECT_EQ(model.currentSessionFolder(), folder);
    EXPECT_EQ(model.statusMessage(), u"Recording wrap-up note."_s);
    EXPECT_TRUE(model.isElapsedTimerRunning());
    EXPECT_TRUE(controller().isWrapUpRecording());

    // The note the recorder wrote is the one marked, even beside an earlier "wrap_up.mov".
    calls.lines.clear();
    wrapUp.outcome = {folder, folder + u"/wrap_up_1.mov"_s, folder + u"/wrap_up_1_metadata.json"_s, true, {}};
    trigger(controller().stopWrapUpItem());
    EXPECT_EQ(calls.lines,
              (QStringList{u"note.stop"_s,
                           u"wrapUp.completed %1 %1/wrap_up_1.mov %1/wrap_up_1_metadata.json"_s.arg(folder),
                           u"uploadIfEnabled "_s + folder}));
    EXPECT_EQ(model.state(), EbbcastRunState::idle);
    EXPECT_FALSE(model.isElapsedTimerRunning());
    EXPECT_EQ(model.statusMessage(), u"Wrap-up attached to session."_s);
}

TEST_F(MenuBarControllerTest, AFailedNoteIsRecordedAsFailedWithItsReasonAndTheSessionStillUploads)
{
    const QString session = completedSession(u"2026-12-08T09:00:00"_s);
    trigger(controller().startWrapUpItem());
    ASSERT_TRUE(controller().isWrapUpRecording());
    calls.lines.clear();
    wrapUp.outcome = {session, {}, {}, false, u"The camera stopped: device unplugged"_s};
    trigger(controller().stopWrapUpItem());
    EXPECT_EQ(
        calls.lines,
        (QStringList{u"note.stop"_s, u"wrapUp.failed %1 The camera stopped: device unplugged"_s.arg(session),
                     u"uploadIfEnabled "_s + session}));
    EXPECT_EQ(model.statusMessage(), u"Wrap-up note failed: The camera stopped: device unplugged"_s);

    // No file and no reason: the standard reason.
    trigger(controller().startWrapUpItem());
    calls.lines.clear();
    wrapUp.outcome = {session, {}, {}, false, {}};
    trigger(controller().stopWrapUpItem());
    EXPECT_TRUE(
        calls.lines.contains(u"wrapUp.failed %1 Wrap-up note did not produce a file."_s.arg(session)));
}

TEST_F(MenuBarControllerTest, ANoteThatCannotStartIsMarkedFailedUploadedLoggedAndAlerted)
{
    startRecording();
    const QString folder = recording.folderOfNextSession;
    wrapUp.startFailure = u"No camera is connected."_s;
    trigger(controller().startWrapUpItem());
    EXPECT_EQ(calls.lines, (QStringList{u"session.stop suppressUpload=1"_s, u"wrapUp.pending "_s + folder,
                                        u"note.start "_s + folder,
                                        u"wrapUp.failed %1 No camera is connected."_s.arg(folder),
                                        u"uploadIfEnabled "_s + folder}));
    EXPECT_EQ(alerts.shown,
              QStringList{u"error: The wrap-up note could not start. | No camera is connected."_s});
    EXPECT_EQ(test::countLogLines(logger, u"Failed to start wrap-up note: No camera is connected."_s), 1);
    EXPECT_FALSE(controller().isWrapUpActive());
    EXPECT_TRUE(controller().startWrapUpItem()->isEnabled());
    EXPECT_TRUE(controller().startItem()->isEnabled());
}

TEST_F(MenuBarControllerTest, ANoteWithoutASessionGetsAFolderOfItsOwn)
{
    trigger(controller().startWrapUpItem());
    EXPECT_EQ(calls.lines, QStringList{u"note.start (own folder)"_s});
    EXPECT_EQ(model.currentSessionFolder(), u"/rec/2026-12-09_11-00-00_wrap-up"_s);
    calls.lines.clear();
    wrapUp.outcome = {
        u"/rec/2026-12-09_11-00-00_wrap-up"_s, u"/rec/x/wrap_up.mov"_s, u"/rec/x/m.json"_s, true, {}};
    trigger(controller().stopWrapUpItem());
    EXPECT_EQ(calls.lines, QStringList{u"note.stop"_s}); // no session document to mark, nothing to upload
    EXPECT_EQ(model.statusMessage(), u"Wrap-up note saved."_s);
}

TEST_F(MenuBarControllerTest, UploadLastSessionTakesTheNewestCompletedSessionBySessionStart)
{
    const QString statusBefore = model.statusMessage();
    trigger(controller().uploadLastSessionItem());
    EXPECT_EQ(alerts.shown, QStringList{u"error: No completed session is available to upload yet."_s});
    EXPECT_TRUE(calls.lines.isEmpty());
    EXPECT_EQ(model.state(), EbbcastRunState::idle);
    EXPECT_EQ(model.statusMessage(), statusBefore);

    const QString older = completedSession(u"2026-12-07T09:00:00"_s);
    const QString newer = completedSession(u"2026-12-08T09:00:00"_s);
    const QString unfinished = completedSession(u"2026-12-09T09:00:00"_s);
    // A session still recording (or cut short and not yet repaired) has no end time.
    QFile file(QDir(unfinished).filePath(u"metadata.json"_s));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonObject document = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    document.remove(u"end_time"_s);
    document.remove(u"duration"_s);
    test::TemporaryFolder::writeAll(file.fileName(), QJsonDocument(document).toJson());
    // A write into the older session's folder (a state file) must not make it the newest.
    test::TemporaryFolder::writeAll(QDir(older).filePath(u"upload_state.json"_s), "{}");

    alerts.shown.clear();
    trigger(controller().uploadLastSessionItem());
    const QString message = u"Upload queued for "_s + QFileInfo(newer).fileName();
    EXPECT_EQ(calls.lines, QStringList{u"upload "_s + newer});
    EXPECT_EQ(alerts.shown, QStringList{u"information: "_s + message});
    EXPECT_EQ(model.state(), EbbcastRunState::uploading);
    EXPECT_EQ(model.statusMessage(), message);

    // The session being recorded is never taken, even once this process completed it earlier.
    recording.lastCompleted = newer;
    recording.current = newer;
    calls.lines.clear();
    trigger(controller().uploadLastSessionItem());
    EXPECT_EQ(calls.lines, QStringList{u"upload "_s + older});
}

TEST_F(MenuBarControllerTest, GoogleItemReadsConnectingWhileASignInRunsAndFollowsTheStore)
{
    uploads.gate.held = true;
    trigger(controller().connectGoogleItem());
    EXPECT_EQ(plain(controller().connectGoogleItem()), u"Connecting…"_s);
    EXPECT_FALSE(controller().connectGoogleItem()->isEnabled());
    trigger(controller().connectGoogleItem());
    EXPECT_EQ(calls.lines.count(u"google.connect"_s), 1);
    uploads.gate.open();
    QCoreApplication::processEvents();
    EXPECT_EQ(plain(controller().connectGoogleItem()), u"Connected to Google Drive"_s);
    EXPECT_FALSE(controller().connectGoogleItem()->isEnabled());
    EXPECT_TRUE(model.googleConnected());
    EXPECT_EQ(alerts.shown, QStringList{u"information: Google Drive connected."_s});

    // The token went away (revoked elsewhere): seen when the menu opens.
    uploads.connected = false;
    Q_EMIT controller().menu()->aboutToShow();
    QCoreApplication::processEvents();
    EXPECT_EQ(plain(controller().connectGoogleItem()), u"Connect Google Drive"_s);
    EXPECT_TRUE(controller().connectGoogleItem()->isEnabled());

    alerts.shown.clear();
    uploads.connectFailure = u"The sign-in was cancelled in the browser."_s;
    trigger(controller().connectGoogleItem());
    QCoreApplication::processEvents();
    EXPECT_EQ(
        alerts.shown,
        QStringList{u"error: Google Drive connection failed. | The sign-in was cancelled in the browser."_s});
    EXPECT_EQ(test::countLogLines(logger, u"Google Drive connection failed: The sign-in was cancelled"_s), 1);
    EXPECT_EQ(plain(controller().connectGoogleItem()), u"Connect Google Drive"_s);
    EXPECT_TRUE(controller().connectGoogleItem()->isEnabled());
}

TEST_F(MenuBarControllerTest, DriveFolderItemNeedsAKnownFolder)
{
    EXPECT_FALSE(controller().openDriveFolderItem()->isEnabled());
    controller().performOpenLastDriveFolder();
    EXPECT_EQ(alerts.shown, QStringList{u"error: No Google Drive folder is available yet."_s});
    model.setLastUploadedDriveFolderID(u"abc"_s);
    EXPECT_TRUE(controller().openDriveFolderItem()->isEnabled());
}

TEST_F(MenuBarControllerTest, UpdateCheckAlertsAndOpensOnlyWebDownloadLinks)
{
    update = {false, u"1.2.0"_s, 120, u"1.2.0"_s, 120, {}, {}};
    updateGate.held = true;
    trigger(controller().checkForUpdatesItem());
    EXPECT_EQ(plain(controller().checkForUpdatesItem()), u"Checking for Updates…"_s);
    EXPECT_FALSE(controller().checkForUpdatesItem()->isEnabled());
    updateGate.open();
    EXPECT_EQ(alerts.shown,
              QStringList{u"information: Ebbcast is up to date | Installed version: 1.2.0 (120). "
                          "Latest version: 1.2.0 (120)."_s});
    EXPECT_TRUE(controller().checkForUpdatesItem()->isEnabled());

    alerts.shown.clear();
    update = {true, u"1.2.0"_s, 120, u"1.3.0"_s, 130, QUrl(u"https://updates.test/ebbcast_1.3.0.deb"_s), {}};
    trigger(controller().checkForUpdatesItem());
    EXPECT_EQ(alerts.shown,
              QStringList{u"question: Ebbcast update available | Installed version: 1.2.0 (120). "
                          "Available version: 1.3.0 (130). [Download Update/Later]"_s});
    EXPECT_TRUE(calls.lines.contains(u"openURL https://updates.test/ebbcast_1.3.0.deb"_s));

    calls.lines.clear();
    alerts.answer = false;
    trigger(controller().checkForUpdatesItem());
    EXPECT_EQ(calls.lines, QStringList{u"checkForUpdate"_s});

    // Whatever the feed says, a link that is not a web address is never handed to the desktop.
    calls.lines.clear();
    alerts.answer = true;
    alerts.shown.clear();
    update.downloadURL = QUrl(u"file:///usr/bin/xterm"_s);
    trigger(controller().checkForUpdatesItem());
    EXPECT_EQ(calls.lines, QStringList{u"checkForUpdate"_s});
    EXPECT_TRUE(alerts.shown.last().startsWith(u"error: The update cannot be downloaded."_s));

    alerts.shown.clear();
    updateFailure = u"The update feed did not answer."_s;
    trigger(controller().checkForUpdatesItem());
    EXPECT_EQ(alerts.shown,
              QStringList{u"error: The update check failed. | The update feed did not answer."_s});
    EXPECT_EQ(test::countLogLines(logger, u"Update check failed: The update feed did not answer."_s), 1);
}

TEST_F(MenuBarControllerTest, OverlayAndMiniControllerTitlesFollowTheirState)
{
    EXPECT_EQ(plain(controller().miniControllerItem()), u"Show Mini Controller"_s);
    trigger(controller().miniControllerItem());
    EXPECT_EQ(plain(controller().miniControllerItem()), u"Hide Mini Controller"_s);
    miniVisible = false; // closed by its own button
    controller().miniControllerVisibilityChanged(false);
    EXPECT_EQ(plain(controller().miniControllerItem()), u"Show Mini Controller"_s);
    calls.lines.clear();

    // Showing the overlay again does not open the mini controller; hiding it while idle neither.
    controller().toggleRecordingOverlayFromUI();
    EXPECT_EQ(calls.lines, QStringList{u"overlayHidden=1"_s});
    controller().toggleRecordingOverlayFromUI();
    EXPECT_EQ(calls.lines, (QStringList{u"overlayHidden=1"_s, u"overlayHidden=0"_s}));
}

TEST_F(MenuBarControllerTest, MarkerAndDashboardActionsDoNothingWhileIdle)
{
    controller().performCreateMarker();
    DashboardActions dashboard = controller().dashboardActions();
    dashboard.createMarker();
    dashboard.stopRecording();
    QCoreApplication::processEvents();
    EXPECT_TRUE(calls.lines.isEmpty());
    dashboard.wrapUp();
    QCoreApplication::processEvents();
    dashboard.wrapUp(); // now recording a note: the same button ends it
    QCoreApplication::processEvents();
    EXPECT_EQ(calls.lines, (QStringList{u"note.start (own folder)"_s, u"note.stop"_s}));
}

// The message boxes themselves, on the display.
class MessageBoxAlertsTest : public ::testing::Test {
protected:
    static QIODevice& opened(QBuffer& buffer)
    {
        buffer.open(QIODevice::ReadWrite);
        return buffer;
    }
    qsizetype errorLines() const { return err.data().count('\n'); }

    QBuffer out;
    QBuffer err;
    Console console{opened(out), opened(err), -1, false};
};

TEST_F(MessageBoxAlertsTest, IdenticalAlertsShowOnceAndDetailsAreNeverMarkup)
{
    MessageBoxAlerts boxes(console);
    boxes.showError(u"The update check failed."_s, u"<b>bold</b> <img src=x>"_s);
    boxes.showError(u"The update check failed."_s, u"<b>bold</b> <img src=x>"_s);
    boxes.showInformation(u"Google Drive connected."_s);
    QCoreApplication::processEvents();
    const QList<QMessageBox*> open = boxes.openBoxes();
    ASSERT_EQ(open.size(), 2);
    EXPECT_EQ(open[0]->icon(), QMessageBox::Critical);
    EXPECT_EQ(open[0]->windowTitle(), u"Ebbcast"_s);
    const auto* details = open[0]->findChild<QLabel*>(u"qt_msgbox_informativelabel"_s);
    ASSERT_NE(details, nullptr);
    EXPECT_EQ(details->textFormat(), Qt::PlainText);
    EXPECT_EQ(errorLines(), 2); // each failure is also written for a terminal
    open[0]->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.openBoxes().size(), 1);
}

TEST_F(MessageBoxAlertsTest, AQuestionIsAwaitedWithoutALoopOfItsOwn)
{
    MessageBoxAlerts boxes(console);
    std::optional<bool> answer;
    auto asking = [&boxes, &answer]() -> QCoro::Task<> {
        answer =
            co_await boxes.ask(u"Ebbcast update available"_s, u"1.3.0"_s, u"Download Update"_s, u"Later"_s);
    };
    QCoro::Task<> task = asking();
    QCoreApplication::processEvents();
    ASSERT_EQ(boxes.openBoxes().size(), 1);
    EXPECT_FALSE(answer.has_value()); // the caller goes on; the event loop runs
    QMessageBox* box = boxes.openBoxes().first();
    QAbstractButton* download = nullptr;
    for (QAbstractButton* button : box->buttons())
        download = button->text() == u"Download Update"_s ? button : download;
    ASSERT_NE(download, nullptr);
    download->click();
    ASSERT_TRUE(test::waitUntil([&answer] { return answer.has_value(); }));
    EXPECT_TRUE(*answer);

    answer.reset();
    QCoro::Task<> second = asking();
    QCoreApplication::processEvents();
    QTest::keyClick(boxes.openBoxes().first(), Qt::Key_Escape);
    ASSERT_TRUE(test::waitUntil([&answer] { return answer.has_value(); }));
    EXPECT_FALSE(*answer);
}

TEST_F(MessageBoxAlertsTest, ErrorAndQuestionBoxesAreRaisedAndReadable)
{
    if (!test::onXDisplay())
        GTEST_SKIP() << "needs an X display";
    MessageBoxAlerts boxes(console);
    boxes.showError(u"The update check failed."_s, u"The update feed did not answer."_s);
    auto asking = [&boxes]() -> QCoro::Task<> {
        (void)co_await boxes.ask(u"Ebbcast update available"_s,
                                 u"Installed version: 1.2.0 (120). Available version: 1.3.0 (130)."_s,
                                 u"Download Update"_s, u"Later"_s);
    };
    QCoro::Task<> question = asking();
    ASSERT_TRUE(test::waitUntil([&boxes] {
        const QList<QMessageBox*> open = boxes.openBoxes();
        return open.size() == 2 && std::all_of(open.begin(), open.end(), [](QMessageBox* box) {
                   return box->windowHandle() && box->windowHandle()->isExposed();
               });
    }));
    QTest::qWait(100);
    for (const auto& [box, name] : {std::pair{boxes.openBoxes()[0], u"alert-error"_s},
                                    std::pair{boxes.openBoxes()[1], u"alert-update"_s}}) {
        SCOPED_TRACE(name.toStdString());
        // Above every other window of the application, the later box on top.
        const QImage shot = test::X11View::windowPixels(box->winId());
        test::saveScreenshot(shot, name);
        EXPECT_TRUE(test::showsSomething(shot, box->palette().color(QPalette::Window).rgb(), 8));
    }
    EXPECT_TRUE(test::X11View().isAbove(boxes.openBoxes()[1]->winId(), boxes.openBoxes()[0]->winId()));
    boxes.openBoxes()[1]->reject();
    QCoreApplication::processEvents();
}

TEST_F(MenuBarControllerTest, ShortcutsWorkInTheWindowsTheyAreInstalledOn)
{
    if (!test::onXDisplay())
        GTEST_SKIP() << "needs an X display";
    QWidget window;
    window.resize(200, 100);
    controller().installShortcuts(window);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    QTest::keyClick(&window, Qt::Key_M, Qt::ControlModifier); // nothing to mark while idle
    QTest::keyClick(&window, Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(calls.lines, QStringList{u"showPreferences"_s});

    startRecording();
    QTest::keyClick(&window, Qt::Key_M, Qt::ControlModifier);
    QTest::keyClick(&window, Qt::Key_Period, Qt::ControlModifier);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls.lines, (QStringList{u"session.marker"_s, u"session.stop suppressUpload=0"_s}));
    calls.lines.clear();
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(calls.lines, QStringList{u"quit"_s});
}

} // namespace
} // namespace ebbcast
