#include "app/MenuBarController.h"

#include "app/RecentSessionFolders.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/base/ServiceURL.h"
#include "model/EbbcastAppModel.h"
#include "model/EbbcastRunState.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QKeySequence>
#include <QMenu>
#include <QWidget>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString versionText(const QString& version, qint64 build)
{
    return build > 0 ? u"%1 (%2)"_s.arg(version).arg(build) : version;
}

} // namespace

MenuBarController::MenuBarController(MenuBarComponents components, MenuBarActions actions, QObject* parent)
    : QObject(parent)
    , recording_(components.recording)
    , wrapUpNote_(components.wrapUp)
    , uploads_(components.uploads)
    , alerts_(components.alerts)
    , model_(components.model)
    , logger_(components.logger)
    , actions_(std::move(actions))
    , menu_(std::make_unique<QMenu>())
{
    buildMenu();
    isRecording_ = recording_.isRecording();
    connect(&model_, &EbbcastAppModel::recordingIndicatorsHiddenChanged, this,
            &MenuBarController::refreshMenuState);
    connect(&model_, &EbbcastAppModel::lastUploadedDriveFolderIDChanged, this,
            &MenuBarController::refreshMenuState);
    connect(&model_, &EbbcastAppModel::googleConnectedChanged, this, [this] {
        // Known by the sign-in or a failed upload; the store is asked again when the menu opens.
        if (google_ != GooglePhase::connecting)
            google_ = model_.googleConnected() ? GooglePhase::connected : GooglePhase::disconnected;
        refreshMenuState();
    });
    // The token may be gone since the last look (revoked, the keyring cleared): asked whenever the menu
    // opens.
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
        refreshMenuState();
        QCoro::Task<> refreshing = refreshGoogleMenuState();
        Q_UNUSED(refreshing);
    });
    refreshMenuState();
    QCoro::Task<> refreshing = refreshGoogleMenuState();
    Q_UNUSED(refreshing);
}

MenuBarController::~MenuBarController() = default;

void MenuBarController::buildMenu()
{
    QMenu& menu = *menu_;
    menu.setTitle(u"Ebbcast"_s);
    title_ = menu.addAction(u"Ebbcast"_s);
    title_->setEnabled(false);
    menu.addSeparator();
    open_ = menu.addAction(u"&Open Ebbcast"_s);
    miniController_ = menu.addAction(u"Show &Mini Controller"_s);
    recordingOverlay_ = menu.addAction(u"Hide Recording O&verlay"_s);
    menu.addSeparator();
    start_ = menu.addAction(u"&Start Recording"_s);
    stop_ = menu.addAction(u"S&top Recording"_s);
    stop_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));
    menu.addSeparator();
    startWrapUp_ = menu.addAction(u"&Wrap Up Note"_s);
    stopWrapUp_ = menu.addAction(u"Stop &Wrap Up Note"_s);
    createMarker_ = menu.addAction(u"Create Mar&ker"_s);
    createMarker_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    menu.addSeparator();
    connectGoogle_ = menu.addAction(u"Connect &Google Drive"_s);
    uploadLastSession_ = menu.addAction(u"&Upload Last Session"_s);
    openDriveFolder_ = menu.addAction(u"Open Last &Drive Folder"_s);
    menu.addSeparator();
    openRecordingsFolder_ = menu.addAction(u"Open &Recordings Folder"_s);
    preferences_ = menu.addAction(u"&Preferences"_s);
    preferences_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    preferences_->setMenuRole(QAction::PreferencesRole);
    checkForUpdates_ = menu.addAction(u"&Check for Updates"_s);
    menu.addSeparator();
    quit_ = menu.addAction(u"&Quit"_s);
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit_->setMenuRole(QAction::QuitRole);

    connect(open_, &QAction::triggered, this, [this] {
        if (actions_.showDashboard)
            actions_.showDashboard();
    });
    connect(miniController_, &QAction::triggered, this, [this] {
        if (actions_.toggleMiniController)
            actions_.toggleMiniController();
        refreshMenuState();
    });
    connectCommand(recordingOverlay_, &MenuBarController::toggleRecordingOverlayFromUI);
    connectCommand(start_, &MenuBarController::performStartRecording);
    connectCommand(stop_, &MenuBarController::performStopRecording);
    connectCommand(startWrapUp_, &MenuBarController::performWrapUp);
    connectCommand(stopWrapUp_, &MenuBarController::performStopWrapUp);
    connectCommand(createMarker_, &MenuBarController::performCreateMarker);
    connectCommand(connectGoogle_, &MenuBarController::performGoogleConnect);
    connectCommand(uploadLastSession_, &MenuBarController::performUploadLastSession);
    connectCommand(openDriveFolder_, &MenuBarController::performOpenLastDriveFolder);
    connectCommand(openRecordingsFolder_, &MenuBarController::performOpenRecordingsFolder);
    connect(preferences_, &QAction::triggered, this, [this] {
        if (actions_.showPreferences)
            actions_.showPreferences();
    });
    connectCommand(checkForUpdates_, &MenuBarController::performCheckForUpdates);
    connect(quit_, &QAction::triggered, this, [this] {
        if (actions_.quit)
            actions_.quit();
    });
}

void MenuBarController::connectCommand(QAction* item, QCoro::Task<> (MenuBarController::*command)())
{
    connect(item, &QAction::triggered, this, [this, command] {
        QCoro::Task<> running = (this->*command)();
        Q_UNUSED(running);
    });
}

void MenuBarController::connectCommand(QAction* item, void (MenuBarController::*command)())
{
    connect(item, &QAction::triggered, this, command);
}

void MenuBarController::installShortcuts(QWidget& window) const
{
    for (QAction* item : {stop_, createMarker_, preferences_, quit_}) {
        item->setShortcutContext(Qt::WindowShortcut);
        window.addAction(item);
    }
}

DashboardActions MenuBarController::dashboardActions()
{
    const QPointer<MenuBarController> self(this);
    const auto command = [self](QCoro::Task<> (MenuBarController::*member)()) {
        return [self, member] {
            if (!self)
                return;
            QCoro::Task<> running = (self.data()->*member)();
            Q_UNUSED(running);
        };
    };
    const auto plain = [self](void (MenuBarController::*member)()) {
        return [self, member] {
            if (self)
                (self.data()->*member)();
        };
    };
    DashboardActions dashboard;
    dashboard.startRecording = command(&MenuBarController::performStartRecording);
    dashboard.stopRecording = command(&MenuBarController::performStopRecording);
    dashboard.toggleRecordingIndicators = plain(&MenuBarController::toggleRecordingOverlayFromUI);
    dashboard.wrapUp = [self] {
        if (!self)
            return;
        QCoro::Task<> running = self->isWrapUpRecording() ? self->performStopWrapUp() : self->performWrapUp();
        Q_UNUSED(running);
    };
    dashboard.createMarker = plain(&MenuBarController::performCreateMarker);
    dashboard.connectGoogle = command(&MenuBarController::performGoogleConnect);
    dashboard.uploadLastSession = plain(&MenuBarController::performUploadLastSession);
    dashboard.openLastDriveFolder = plain(&MenuBarController::performOpenLastDriveFolder);
    dashboard.openMiniController = [self] {
        if (self && self->actions_.showMiniController)
            self->actions_.showMiniController();
    };
    dashboard.openSessionsFolder = plain(&MenuBarController::performOpenRecordingsFolder);
    return dashboard;
}

void MenuBarController::setTransition(RecordingTransition transition)
{
    transition_ = transition;
    refreshMenuState();
}

void MenuBarController::updateRecordingState(bool isRecording)
{
    isRecording_ = isRecording;
    refreshMenuState();
}

void MenuBarController::miniControllerVisibilityChanged(bool visible)
{
    Q_UNUSED(visible);
    refreshMenuState();
}

void MenuBarController::refreshMenuState()
{
    const bool wrapUpActive = isWrapUpActive();
    const bool transitioning = transition_ != RecordingTransition::none || recording_.isTransitioning();

    start_->setText(transition_ == RecordingTransition::starting ? u"Starting…"_s : u"&Start Recording"_s);
    start_->setVisible(!isRecording_ && !wrapUpActive);
    start_->setEnabled(!isRecording_ && !wrapUpActive && !transitioning);

    stop_->setText(transition_ == RecordingTransition::stopping ? u"Stopping…"_s : u"S&top Recording"_s);
    stop_->setVisible(isRecording_ && !wrapUpActive);
    stop_->setEnabled(isRecording_ && !wrapUpActive && !transitioning);

    // Disabled from the click until the note's start or stop has an outcome, so it never starts twice.
    startWrapUp_->setVisible(!isWrapUpRecording() && wrapUpPhase_ != WrapUpPhase::stopping);
    startWrapUp_->setEnabled(wrapUpPhase_ == WrapUpPhase::idle && !transitioning);
    stopWrapUp_->setVisible(!startWrapUp_->isVisible());
    stopWrapUp_->setEnabled(wrapUpPhase_ == WrapUpPhase::recording);

    // A marker belongs to a running session.
    createMarker_->setEnabled(isRecording_ && !wrapUpActive && transition_ != RecordingTransition::stopping);

    miniController_->setText(actions_.isMiniControllerVisible && actions_.isMiniControllerVisible()
                                 ? u"Hide &Mini Controller"_s
                                 : u"Show &Mini Controller"_s);
    recordingOverlay_->setText(model_.recordingIndicatorsHidden() ? u"Show Recording O&verlay"_s
                                                                  : u"Hide Recording O&verlay"_s);
    recordingOverlay_->setEnabled(isRecording_);

    switch (google_) {
    case GooglePhase::connected:
        connectGoogle_->setText(u"Connected to &Google Drive"_s);
        connectGoogle_->setEnabled(false);
        break;
    case GooglePhase::connecting:
        connectGoogle_->setText(u"Connecting…"_s);
        connectGoogle_->setEnabled(false);
        break;
    case GooglePhase::unknown:
    case GooglePhase::disconnected:
        connectGoogle_->setText(u"Connect &Google Drive"_s);
        connectGoogle_->setEnabled(true);
        break;
    }
    openDriveFolder_->setEnabled(model_.lastUploadedDriveFolderURL().has_value());

    checkForUpdates_->setText(checkingForUpdates_ ? u"Checking for Updates…"_s : u"&Check for Updates"_s);
    checkForUpdates_->setEnabled(!checkingForUpdates_);
}

QCoro::Task<> MenuBarController::refreshGoogleMenuState()
{
    const QPointer<MenuBarController> self(this);
    bool connected = false;
    try {
        connected = co_await uploads_.isGoogleConnected();
    } catch (...) {
        // An unreadable store counts as signed out: the user can sign in again.
        connected = false;
    }
    if (!self || google_ == GooglePhase::connecting)
        co_return;
    google_ = connected ? GooglePhase::connected : GooglePhase::disconnected;
    refreshMenuState();
}

void MenuBarController::toggleRecordingOverlayFromUI()
{
    const bool hidden = !model_.recordingIndicatorsHidden();
    model_.setRecordingIndicatorsHidden(hidden);
    if (actions_.recordingOverlayVisibilityChanged)
        actions_.recordingOverlayVisibilityChanged(hidden);
    // Hiding the frame around the screen leaves the mini controller as the sign that a session records.
    if (hidden && isRecording_ && actions_.showMiniController)
        actions_.showMiniController();
    refreshMenuState();
}

QCoro::Task<> MenuBarController::performStartRecording()
{
    if (isRecording_ || isWrapUpActive() || transition_ != RecordingTransition::none ||
        recording_.isTransitioning())
        co_return;
    const QPointer<MenuBarController> self(this);
    setTransition(RecordingTransition::starting);
    try {
        co_await recording_.start();
    } catch (...) {
        // The session reports its own failures (log line and alert).
        if (self)
            logger_.error(u"Failed to start recording: "_s + describeError(std::current_exception()));
    }
    if (!self)
        co_return;
    isRecording_ = recording_.isRecording();
    setTransition(RecordingTransition::none);
    Q_EMIT commandFinished();
}

QCoro::Task<> MenuBarController::performStopRecording()
{
    if (!isRecording_ || isWrapUpActive() || transition_ != RecordingTransition::none ||
        recording_.isTransitioning())
        co_return;
    const QPointer<MenuBarController> self(this);
    setTransition(RecordingTransition::stopping);
    try {
        (void)co_await recording_.stop(false);
    } catch (...) {
        if (self)
            logger_.error(u"Failed to stop recording: "_s + describeError(std::current_exception()));
    }
    if (!self)
        co_return;
    isRecording_ = recording_.isRecording();
    setTransition(RecordingTransition::none);
    Q_EMIT commandFinished();
}

QCoro::Task<> MenuBarController::performWrapUp()
{
    if (isWrapUpActive() || transition_ != RecordingTransition::none || recording_.isTransitioning())
        co_return;
    const QPointer<MenuBarController> self(this);
    wrapUpPhase_ = WrapUpPhase::starting;
    refreshMenuState();

    std::optional<QString> target;
    if (recording_.isRecording()) {
        // The session's upload waits for the note, which becomes part of it.
        transition_ = RecordingTransition::stopping;
        refreshMenuState();
        try {
            target = co_await recording_.stop(true);
        } catch (...) {
            if (self)
                logger_.error(u"Failed to stop recording: "_s + describeError(std::current_exception()));
        }
        if (!self)
            co_return;
        transition_ = RecordingTransition::none;
        isRecording_ = recording_.isRecording();
    } else {
        target = lastCompletedSession();
    }
    if (target)
        recording_.markWrapUpPending(*target);

    try {
        const QString moviePath = co_await wrapUpNote_.start(target);
        if (!self)
            co_return;
        model_.setState(EbbcastRunState::wrapUp);
        model_.setCurrentSessionFolder(QFileInfo(moviePath).absolutePath());
        model_.startElapsedTimer();
        model_.setStatusMessage(u"Recording wrap-up note."_s);
        wrapUpSessionFolder_ = target;
        wrapUpPhase_ = WrapUpPhase::recording;
        refreshMenuState();
    } catch (...) {
        if (!self)
            co_return;
        const QString description = describeError(std::current_exception());
        wrapUpPhase_ = WrapUpPhase::idle;
        if (target) {
            recording_.markWrapUpFailed(*target, description);
            uploads_.uploadSessionIfEnabled(*target);
        }
        refreshMenuState();
        fail(u"Failed to start wrap-up note: "_s, u"The wrap-up note could not start."_s, description);
    }
    Q_EMIT commandFinished();
}

QCoro::Task<> MenuBarController::performStopWrapUp()
{
    if (wrapUpPhase_ != WrapUpPhase::recording)
        co_return;
    const QPointer<MenuBarController> self(this);
    wrapUpPhase_ = WrapUpPhase::stopping;
    refreshMenuState();
    const WrapUpOutcome outcome = co_await wrapUpNote_.stop();
    if (!self)
        co_return;

    const QString failure =
        outcome.failure.isEmpty() ? u"Wrap-up note did not produce a file."_s : outcome.failure;
    if (wrapUpSessionFolder_) {
        // The file the recorder wrote (a session may already hold an earlier note).
        if (outcome.recorded)
            recording_.markWrapUpCompleted(*wrapUpSessionFolder_, outcome.moviePath, outcome.metadataPath);
        else
            recording_.markWrapUpFailed(*wrapUpSessionFolder_, failure);
        uploads_.uploadSessionIfEnabled(*wrapUpSessionFolder_);
    }
    model_.setState(EbbcastRunState::idle);
    model_.stopElapsedTimer(true);
    if (!outcome.recorded)
        model_.setStatusMessage(u"Wrap-up note failed: "_s + failure);
    else if (wrapUpSessionFolder_)
        model_.setStatusMessage(u"Wrap-up attached to session."_s);
    else
        model_.setStatusMessage(u"Wrap-up note saved."_s);
    wrapUpSessionFolder_.reset();
    wrapUpPhase_ = WrapUpPhase::idle;
    refreshMenuState();
    Q_EMIT commandFinished();
}

QCoro::Task<> MenuBarController::performGoogleConnect()
{
    if (google_ == GooglePhase::connecting || google_ == GooglePhase::connected)
        co_return;
    const QPointer<MenuBarController> self(this);
    google_ = GooglePhase::connecting;
    refreshMenuState();
    std::optional<QString> failure;
    try {
        co_await uploads_.connectGoogle();
    } catch (...) {
        failure = describeError(std::current_exception());
    }
    if (!self)
        co_return;
    google_ = GooglePhase::unknown;
    if (failure) {
        refreshMenuState();
        fail(u"Google Drive connection failed: "_s, u"Google Drive connection failed."_s, *failure);
    }
    // Asked again either way: a failed sign-in may have cleared the stored token.
    co_await refreshGoogleMenuState();
    if (!self)
        co_return;
    if (!failure) {
        model_.setGoogleConnected(true);
        alerts_.showInformation(u"Google Drive connected."_s);
    }
    Q_EMIT commandFinished();
}

std::optional<QString> MenuBarController::lastCompletedSession() const
{
    QStringList busy;
    if (const std::optional<QString> current = recording_.currentSessionFolder())
        busy << QFileInfo(*current).absoluteFilePath();
    if (wrapUpSessionFolder_)
        busy << QFileInfo(*wrapUpSessionFolder_).absoluteFilePath();
    if (const std::optional<QString> last = recording_.lastCompletedSessionFolder()) {
        if (!busy.contains(QFileInfo(*last).absoluteFilePath()) && QFileInfo(*last).isDir())
            return last;
    }
    if (!actions_.recordingsFolder)
        return std::nullopt;
    return newestCompletedSessionFolder(actions_.recordingsFolder(), busy);
}

void MenuBarController::performUploadLastSession()
{
    const std::optional<QString> folder = lastCompletedSession();
    if (!folder) {
        alerts_.showError(u"No completed session is available to upload yet."_s);
        return;
    }
    const QString message = u"Upload queued for "_s + QFileInfo(*folder).fileName();
    model_.setState(EbbcastRunState::uploading);
    model_.setStatusMessage(message);
    uploads_.uploadSession(*folder);
    alerts_.showInformation(message);
    Q_EMIT commandFinished();
}

void MenuBarController::performCreateMarker()
{
    if (!isRecording_ || isWrapUpActive())
        return;
    recording_.createMarker();
}

void MenuBarController::performOpenLastDriveFolder()
{
    const std::optional<QString> link = model_.lastUploadedDriveFolderURL();
    if (!link || !isWebAddress(QUrl(*link))) {
        alerts_.showError(u"No Google Drive folder is available yet."_s);
        return;
    }
    if (actions_.openURL)
        actions_.openURL(QUrl(*link));
}

void MenuBarController::performOpenRecordingsFolder()
{
    if (!actions_.recordingsFolder)
        return;
    const QString folder = actions_.recordingsFolder();
    // Before the first session the folder may not exist yet: made, so the file manager has something to show.
    if (!QDir().mkpath(folder)) {
        fail(u"Could not open the recordings folder: "_s, u"The recordings folder could not be opened."_s,
             u"Could not create "_s + folder + u"."_s);
        return;
    }
    if (actions_.openFolder)
        actions_.openFolder(folder);
}

QCoro::Task<> MenuBarController::performCheckForUpdates()
{
    if (checkingForUpdates_ || !actions_.checkForUpdate)
        co_return;
    const QPointer<MenuBarController> self(this);
    checkingForUpdates_ = true;
    refreshMenuState();
    std::optional<UpdateCheckResult> result;
    QString failure;
    try {
        result = co_await actions_.checkForUpdate();
    } catch (...) {
        failure = describeError(std::current_exception());
    }
    if (!self)
        co_return;
    checkingForUpdates_ = false;
    refreshMenuState();
    if (!result) {
        fail(u"Update check failed: "_s, u"The update check failed."_s, failure);
        Q_EMIT commandFinished();
        co_return;
    }
    const QString installed = versionText(result->currentVersion, result->currentBuild);
    if (!result->isUpdateAvailable) {
        alerts_.showInformation(u"Ebbcast is up to date"_s,
                                u"Installed version: %1. Latest version: %2."_s.arg(
                                    installed, versionText(result->latestVersion, result->latestBuild)));
        Q_EMIT commandFinished();
        co_return;
    }
    QString details = u"Installed version: %1. Available version: %2."_s.arg(
        installed, versionText(result->latestVersion, result->latestBuild));
    if (!result->notes.isEmpty())
        details += u"\n\n"_s + result->notes;
    const QUrl download = result->downloadURL;
    const bool accepted =
        co_await alerts_.ask(u"Ebbcast update available"_s, details, u"Download Update"_s, u"Later"_s);
    if (!self)
        co_return;
    if (accepted) {
        if (isWebAddress(download) && actions_.openURL)
            actions_.openURL(download);
        else if (!isWebAddress(download))
            fail(u"Update check failed: "_s, u"The update cannot be downloaded."_s,
                 u"The feed's download link is not a web address."_s);
    }
    Q_EMIT commandFinished();
}

void MenuBarController::fail(const QString& logPrefix, const QString& alertText, const QString& description)
{
    logger_.error(logPrefix + description);
    alerts_.showError(alertText, description);
}

} // namespace ebbcast
