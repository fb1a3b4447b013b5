#include "app/TrayIcon.h"

#include "app/RunStateColour.h"
#include "app/ThemedIcon.h"
#include "core/base/Logger.h"
#include "model/EbbcastAppModel.h"
#include "model/EbbcastRunState.h"

#include <QAction>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Once the wait is over, how often a late tray is looked for.
constexpr int lateTrayPollMs = 5000;

// The state's symbol: the states a user must notice keep their colour (runStateColour); Idle and Completed
// are drawn in the palette's text colour, like the other symbols of a desktop panel.
QIcon stateIcon(EbbcastRunState state)
{
    QString symbol = u"tray-idle.svg"_s;
    switch (state) {
    case EbbcastRunState::idle:
    case EbbcastRunState::armed:
        break;
    case EbbcastRunState::recording:
        symbol = u"tray-recording.svg"_s;
        break;
    case EbbcastRunState::paused:
        symbol = u"tray-paused.svg"_s;
        break;
    case EbbcastRunState::wrapUp:
        symbol = u"camera.svg"_s;
        break;
    case EbbcastRunState::uploading:
    case EbbcastRunState::aiProcessing:
        symbol = u"tray-busy.svg"_s;
        break;
    case EbbcastRunState::completed:
        symbol = u"tray-completed.svg"_s;
        break;
    case EbbcastRunState::error:
        symbol = u"tray-error.svg"_s;
        break;
    }
    const bool monochrome = state == EbbcastRunState::idle || state == EbbcastRunState::completed;
    const QColor colour =
        monochrome ? QGuiApplication::palette().color(QPalette::WindowText) : runStateColour(state);
    return symbolIcon(u":/shell-icons/"_s + symbol, colour);
}

} // namespace

TrayIcon::TrayIcon(EbbcastAppModel& model, Actions actions, Logger& logger, Options options)
    : model_(model)
    , actions_(std::move(actions))
    , logger_(logger)
    , options_(std::move(options))
    , menu_(std::make_unique<QMenu>())
    , icon_(new QSystemTrayIcon(this))
    , start_(menu_->addAction(u"Start Recording"_s))
    , stop_(menu_->addAction(u"Stop Recording"_s))
    , quit_(nullptr)
    , trayWatch_(new QTimer(this))
{
    menu_->addSeparator();
    quit_ = menu_->addAction(u"Quit"_s);
    connect(start_, &QAction::triggered, this, [this] {
        if (actions_.startRecording)
            actions_.startRecording();
    });
    connect(stop_, &QAction::triggered, this, [this] {
        if (actions_.stopRecording)
            actions_.stopRecording();
    });
    connect(quit_, &QAction::triggered, this, [this] {
        if (actions_.quit)
            actions_.quit();
    });
    icon_->setContextMenu(menu_.get());
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A left click (or the host's primary activation) opens the dashboard; the menu is on the right.
        if ((reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) && actions_.open)
            actions_.open();
    });
    // Idle and Completed follow the palette's text colour: drawn again when a dark or light theme comes.
    qApp->installEventFilter(this);
    connect(&model_, &EbbcastAppModel::stateChanged, this, &TrayIcon::showState);
    connect(&model_, &EbbcastAppModel::elapsedTextChanged, this, &TrayIcon::showToolTip);
    showState();
    icon_->show();

    trayAvailable_ = QSystemTrayIcon::isSystemTrayAvailable();
    if (!trayAvailable_) {
        trayWatch_->setSingleShot(true);
        connect(trayWatch_, &QTimer::timeout, this, &TrayIcon::checkForTray);
        trayWatch_->start(options_.trayWait);
    }
}

TrayIcon::~TrayIcon()
{
    icon_->hide();
    delete missingTrayBox_;
    delete recordPrompt_;
}

void TrayIcon::promptToRecord(const QString& applicationName, std::function<void()> start)
{
    // One question at a time: a prompt still open is not stacked on (a zero cooldown would otherwise pile
    // them up while the user is away).
    if (recordPrompt_)
        return;
    recordPrompt_ = new QMessageBox(QMessageBox::Information, u"Start recording?"_s,
                                    u"The microphone appears to be active while "_s + applicationName +
                                        u" is frontmost. Do you want Ebbcast to start a session?"_s,
                                    QMessageBox::NoButton);
    recordPrompt_->setTextFormat(Qt::PlainText);
    recordPrompt_->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* startButton = recordPrompt_->addButton(u"Start Recording"_s, QMessageBox::AcceptRole);
    QPushButton* notNow = recordPrompt_->addButton(u"Not Now"_s, QMessageBox::RejectRole);
    // The meeting keeps the keyboard: the box is shown without taking the focus, and Enter or Space typed
    // into the meeting never records; only a click (or Tab into the box) does. Escape is "Not Now".
    for (QPushButton* button : {startButton, notNow}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    recordPrompt_->setEscapeButton(notNow);
    recordPrompt_->setWindowFlag(Qt::WindowStaysOnTopHint);
    recordPrompt_->setAttribute(Qt::WA_ShowWithoutActivating);
    recordPrompt_->setWindowModality(Qt::NonModal);
    connect(recordPrompt_, &QMessageBox::buttonClicked, this,
            [startButton, start = std::move(start)](QAbstractButton* button) {
                if (button == startButton && start)
                    start();
            });
    recordPrompt_->show();
    // The button box makes its first accept button the default when shown: undone, so Enter stays inert.
    startButton->setDefault(false);
    recordPrompt_->raise();
}

QMessageBox* TrayIcon::recordPrompt() const
{
    return recordPrompt_.data();
}

void TrayIcon::useMenu(QMenu& menu)
{
    icon_->setContextMenu(&menu);
    menu_.reset();
    start_ = stop_ = quit_ = nullptr;
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
        icon_->setIcon(stateIcon(model_.state()));
    return QObject::eventFilter(watched, event);
}

QString TrayIcon::missingTrayMessage()
{
    return u"No system tray appeared, so Ebbcast has no icon for now. It keeps running and recording as set "
           u"up, "
           "and its icon appears when a tray starts. Run \"ebbcast --headless\" to run without a tray."_s;
}

QIcon TrayIcon::icon() const
{
    return icon_->icon();
}

QString TrayIcon::toolTip() const
{
    const EbbcastRunState state = model_.state();
    QString tip = u"Ebbcast — "_s + displayName(state);
    if (state == EbbcastRunState::recording || state == EbbcastRunState::wrapUp)
        tip += u" "_s + model_.elapsedText();
    return tip;
}

void TrayIcon::showState()
{
    const EbbcastRunState state = model_.state();
    icon_->setIcon(stateIcon(state));
    if (menu_) {
        const bool recording = state == EbbcastRunState::recording || state == EbbcastRunState::wrapUp;
        start_->setEnabled(!recording);
        stop_->setEnabled(recording);
    }
    showToolTip();
}

void TrayIcon::showToolTip()
{
    icon_->setToolTip(toolTip());
}

void TrayIcon::checkForTray()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        if (reportedMissingTray_)
            logger_.info(u"A system tray appeared; showing the icon"_s);
        trayAvailable_ = true;
        // A tray that came late gets the icon anew.
        icon_->hide();
        icon_->show();
        return;
    }
    if (!reportedMissingTray_) {
        reportedMissingTray_ = true;
        const QString line = u"ebbcast: "_s + missingTrayMessage();
        logger_.error(u"No system tray after waiting; running without an icon"_s);
        if (options_.errorLine)
            options_.errorLine(line);
        else
            std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
        missingTrayBox_ =
            new QMessageBox(QMessageBox::Information, u"Ebbcast"_s, missingTrayMessage(), QMessageBox::Ok);
        missingTrayBox_->setAttribute(Qt::WA_DeleteOnClose);
        missingTrayBox_->show();
    }
    trayWatch_->start(lateTrayPollMs);
}

} // namespace ebbcast
