#include "app/DesktopShell.h"

#include "app/DashboardWindowController.h"
#include "app/MenuBarAdapters.h"
#include "app/MenuBarController.h"
#include "app/MiniRecorderWindowController.h"
#include "app/PreferencesWindowController.h"
#include "app/RecordingOverlayController.h"
#include "app/TrayIcon.h"
#include "app/WrapUpPreviewWindowController.h"
#include "capture/WrapUpRecorder.h"
#include "core/base/Logger.h"
#include "core/settings/PreferencesStore.h"
#include "model/EbbcastAppModel.h"
#include "session/RecordingSession.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroSignal>
#include <QFile>
#include <QStringDecoder>
#include <QtConcurrent/QtConcurrentRun>

#include <chrono>

using namespace Qt::StringLiterals;

namespace ebbcast {

DesktopShell::DesktopShell(DesktopShellComponents components, DesktopShellParts parts,
                           DesktopShellActions actions)
    : components_(components)
    , parts_(std::move(parts))
    , actions_(std::move(actions))
    , preview_(std::make_unique<WrapUpPreviewWindowController>())
    , sessionMenu_(std::make_unique<RecordingSessionMenu>(components_.session))
    , wrapUpMenu_(std::make_unique<WrapUpRecorderMenu>(*parts_.wrapUp, *preview_))
    , uploadsMenu_(std::make_unique<UploadManagerMenu>(components_.uploads))
    , preferencesWindow_(
          std::make_unique<PreferencesWindowController>(components_.preferences, parts_.preferencesSources))
    , overlay_(std::make_unique<RecordingOverlayController>())
{
    EbbcastAppModel& model = components_.model;
    const QPointer<DesktopShell> self(this);
    MenuBarActions menuActions;
    menuActions.showDashboard = [self] {
        if (self)
            self->showDashboard();
    };
    // The mini controller is made after the menu (it takes the menu's commands).
    menuActions.toggleMiniController = [self] {
        if (self && self->mini_)
            self->mini_->toggle();
    };
    menuActions.showMiniController = [self] {
        if (self && self->mini_)
            self->mini_->show();
    };
    menuActions.isMiniControllerVisible = [self] {
        return self && self->mini_ && self->mini_->isVisible();
    };
    menuActions.showPreferences = [self] {
        if (self)
            self->preferencesWindow_->show();
    };
    menuActions.recordingOverlayVisibilityChanged = [self](bool hidden) {
        if (self)
            self->overlay_->setIndicatorsHidden(hidden);
    };
    menuActions.recordingsFolder = actions_.recordingsFolder;
    menuActions.openFolder = parts_.revealFolder;
    menuActions.openURL = parts_.openURL;
    UpdateChecker* updates = parts_.updates.get();
    if (updates != nullptr)
        menuActions.checkForUpdate = [updates] {
            return updates->checkForUpdate();
        };
    menuActions.quit = actions_.quit;
    menu_ = std::make_unique<MenuBarController>(MenuBarComponents{*sessionMenu_, *wrapUpMenu_, *uploadsMenu_,
                                                                  parts_.alerts, model, components_.logger},
                                                std::move(menuActions));

    DashboardSources sources;
    sources.recordingsFolder = actions_.recordingsFolder;
    sources.readiness = [self] {
        return self ? self->readiness_ : std::vector<DeviceReadiness>{};
    };
    sources.revealFolder = parts_.revealFolder;
    dashboard_ = std::make_unique<DashboardWindowController>(model, dashboardActions(), std::move(sources));

    const DashboardActions commands = menu_->dashboardActions();
    MiniRecorderActions mini;
    mini.startRecording = commands.startRecording;
    mini.stopRecording = commands.stopRecording;
    mini.pauseRecording = [] {
    }; // a session cannot pause
    mini.wrapUp = commands.wrapUp;
    mini.createMarker = commands.createMarker;
    mini.toggleRecordingIndicators = commands.toggleRecordingIndicators;
    mini.close = [self] {
        if (self)
            self->mini_->hide();
    };
    mini_ = std::make_unique<MiniRecorderWindowController>(model, std::move(mini));
    mini_->setVisibilityChangedHandler([self](bool visible) {
        if (self)
            self->menu_->miniControllerVisibilityChanged(visible);
    });

    // The overlay follows the model's indicator switch, which the menu, the dashboard and the mini controller
    // all turn.
    overlay_->setIndicatorsHidden(model.recordingIndicatorsHidden());
    connect(&model, &EbbcastAppModel::recordingIndicatorsHiddenChanged, this,
            [this] { overlay_->setIndicatorsHidden(components_.model.recordingIndicatorsHidden()); });
    // The settings the windows show may change under them (the command line, another window).
    connect(&components_.preferences, &PreferencesStore::recordingFolderPathChanged, this,
            [this] { dashboard_->refresh(); });
    parts_.wrapUp->setRecordingsFolder(actions_.recordingsFolder ? actions_.recordingsFolder() : QString());
    connect(&components_.preferences, &PreferencesStore::recordingFolderPathChanged, this, [this] {
        if (actions_.recordingsFolder)
            parts_.wrapUp->setRecordingsFolder(actions_.recordingsFolder());
    });

    components_.tray.useMenu(*menu_->menu());
    menu_->refreshMenuState();
}

DesktopShell::~DesktopShell()
{
    // The menu and the windows call into each other: the menu (and its adapters) go first, the preview the
    // wrap-up adapter shows last.
    menu_.reset();
    mini_.reset();
    dashboard_.reset();
    overlay_.reset();
}

DashboardActions DesktopShell::dashboardActions()
{
    const QPointer<DesktopShell> self(this);
    // The recording, note, Drive and folder commands are the menu's; the transcript's are the shell's.
    DashboardActions dashboard = menu_->dashboardActions();
    dashboard.openTranscript = [self] {
        if (!self)
            return;
        const std::optional<QString> transcript = self->components_.model.lastTranscriptURL();
        if (transcript && !transcript->isEmpty())
            self->openIfPresent(QUrl::fromLocalFile(*transcript).toString());
    };
    dashboard.copyTranscript = [self] {
        if (self)
            self->copyLastTranscript();
    };
    dashboard.openTranscriptDriveFolder = [self] {
        if (self)
            self->openIfPresent(self->components_.model.lastTranscriptDriveFolderURL());
    };
    return dashboard;
}

void DesktopShell::openIfPresent(const std::optional<QString>& link)
{
    if (link && !link->isEmpty() && parts_.openURL)
        parts_.openURL(QUrl(*link));
}

void DesktopShell::showDashboard()
{
    const bool firstShow = dashboard_->window() == nullptr;
    dashboard_->show();
    if (firstShow && dashboard_->window() != nullptr)
        menu_->installShortcuts(*dashboard_->window());
    QCoro::Task<> checking = checkReadiness();
    Q_UNUSED(checking);
}

void DesktopShell::reopen()
{
    showDashboard();
    if (components_.session.isRecording())
        mini_->show();
}

QCoro::Task<> DesktopShell::checkReadiness()
{
    if (checkingReadiness_ || !parts_.checkReadiness)
        co_return;
    const QPointer<DesktopShell> self(this);
    checkingReadiness_ = true;
    std::vector<DeviceReadiness> lines = co_await QtConcurrent::run(parts_.checkReadiness);
    if (!self)
        co_return;
    checkingReadiness_ = false;
    readiness_ = std::move(lines);
    dashboard_->refresh();
}

void DesktopShell::recordingStateChanged(bool recording)
{
    menu_->updateRecordingState(recording);
    if (recording)
        overlay_->show();
    else
        overlay_->hide();
}

void DesktopShell::sessionSettled()
{
    menu_->refreshMenuState();
}

void DesktopShell::updateMicLevel(double level)
{
    overlay_->updateMicLevel(level);
}

void DesktopShell::updateSystemLevel(double level)
{
    overlay_->updateSystemLevel(level);
}

bool DesktopShell::isWrapUpActive() const
{
    return menu_->isWrapUpActive() || parts_.wrapUp->isRecording();
}

QCoro::Task<> DesktopShell::finishWrapUp()
{
    const QPointer<DesktopShell> self(this);
    // A start or stop under way ends in the menu's commandFinished; a note that records is stopped.
    while (self && menu_->isWrapUpActive()) {
        if (menu_->isWrapUpRecording()) {
            co_await menu_->performStopWrapUp();
            continue;
        }
        (void)co_await qCoro(menu_.get(), &MenuBarController::commandFinished, std::chrono::seconds(15));
    }
    // A note the menu did not start (none today) is still stopped, so its movie is finished.
    if (self && parts_.wrapUp->isRecording())
        (void)co_await parts_.wrapUp->stop();
}

void DesktopShell::copyLastTranscript()
{
    EbbcastAppModel& model = components_.model;
    const std::optional<QString> transcript = model.lastTranscriptURL();
    if (!transcript || transcript->isEmpty())
        return;
    QFile file(*transcript);
    QString failure;
    QString text;
    if (!file.open(QIODevice::ReadOnly)) {
        failure = file.errorString();
    } else {
        QStringDecoder decoder(QStringDecoder::Utf8);
        text = decoder.decode(file.readAll());
        if (decoder.hasError())
            failure = u"The transcript is not UTF-8 text."_s;
    }
    if (!failure.isEmpty()) {
        model.setTranscriptStatus(u"Transcript error"_s);
        model.setTranscriptDetail(u"Could not copy transcript: "_s + failure);
        components_.logger.error(u"Could not copy final transcript: "_s + failure);
        return;
    }
    if (parts_.copyText)
        parts_.copyText(text);
    model.setTranscriptDetail(QString::fromLatin1(transcriptCopiedDetail));
}

} // namespace ebbcast
