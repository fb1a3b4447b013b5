#include "app/MiniRecorderWindowController.h"

#include "app/RunStateColour.h"
#include "app/ThemedIcon.h"
#include "model/EbbcastAppModel.h"
#include "model/EbbcastRunState.h"

#include <QCloseEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QThread>
#include <QToolButton>
#include <QWidget>
#include <QWindow>

#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

constexpr int buttonSize = 32;
constexpr int buttonIconSize = 20;
constexpr int stateMarkSize = 18;

// A capture runs (the state Stop ends): a session records, paused or not.
bool sessionRecords(EbbcastRunState state)
{
    return state == EbbcastRunState::recording || state == EbbcastRunState::paused;
}

// A new session may start: neither a session nor a wrap-up note records.
bool mayStartRecording(EbbcastRunState state)
{
    return !sessionRecords(state) && state != EbbcastRunState::wrapUp;
}

// The run state as a round mark in its colour, ringed in the text colour so that it stands out on light and
// dark backgrounds alike. Mouse presses go on to the window (it is part of the background that drags).
class StateMark : public QWidget {
public:
    explicit StateMark(QWidget* parent)
        : QWidget(parent)
    {
        setFixedSize(stateMarkSize, stateMarkSize);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

    void setState(EbbcastRunState state)
    {
        if (state == state_)
            return; // the elapsed time changes every second; the mark only with the state
        state_ = state;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(palette().color(QPalette::WindowText), 1.5));
        painter.setBrush(runStateColour(state_));
        painter.drawEllipse(QRectF(rect()).adjusted(2, 2, -2, -2));
    }

private:
    EbbcastRunState state_ = EbbcastRunState::idle;
};

// A flat icon button with a focus ring in the highlight colour: the style draws none on flat tool buttons,
// and the keyboard user must see where the focus is.
class BarButton : public QToolButton {
public:
    explicit BarButton(QWidget* parent)
        : QToolButton(parent)
    {
        setAutoRaise(true);
        setFocusPolicy(Qt::TabFocus);
        setFixedSize(buttonSize, buttonSize);
        setIconSize(QSize(buttonIconSize, buttonIconSize));
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QToolButton::paintEvent(event);
        if (!hasFocus())
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 5, 5);
    }
};

} // namespace

// The bar itself: a plain panel in the window colour with a thin border, moved by its background (by the
// window manager when there is one, by itself otherwise); closing only hides it.
class MiniRecorderWindowController::Window : public QWidget {
public:
    Window(std::function<void()> closed, std::function<void()> paletteChanged)
        : closed_(std::move(closed))
        , paletteChanged_(std::move(paletteChanged))
    {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), palette().color(QPalette::Window));
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::LeftButton) {
            QWidget::mousePressEvent(event);
            return;
        }
        event->accept();
        // Without a window manager that moves windows (none runs, or one without _NET_WM_MOVERESIZE) Qt
        // refuses, and the window follows the pointer itself until the button is released.
        if (windowHandle() != nullptr && windowHandle()->startSystemMove()) {
            dragOffset_.reset();
            return;
        }
        dragOffset_ = event->globalPosition().toPoint() - pos();
    }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (dragOffset_ && (event->buttons() & Qt::LeftButton)) {
            move(event->globalPosition().toPoint() - *dragOffset_);
            event->accept();
            return;
        }
        QWidget::mouseMoveEvent(event);
    }

    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && dragOffset_) {
            move(event->globalPosition().toPoint() - *dragOffset_);
            dragOffset_.reset();
            event->accept();
            return;
        }
        QWidget::mouseReleaseEvent(event);
    }

    void closeEvent(QCloseEvent* event) override
    {
        QWidget::closeEvent(event); // accepted: hidden, never deleted
        closed_();
    }

    void changeEvent(QEvent* event) override
    {
        QWidget::changeEvent(event);
        if (event->type() == QEvent::PaletteChange) {
            paletteChanged_();
            update();
        }
    }

private:
    std::function<void()> closed_;
    std::function<void()> paletteChanged_;
    std::optional<QPoint> dragOffset_;
};

MiniRecorderWindowController::MiniRecorderWindowController(EbbcastAppModel& model,
                                                           MiniRecorderActions actions, QObject* parent)
    : QObject(parent)
    , model_(model)
    , actions_(std::move(actions))
{
    connect(&model_, &EbbcastAppModel::stateChanged, this, &MiniRecorderWindowController::showState);
    connect(&model_, &EbbcastAppModel::recordingIndicatorsHiddenChanged, this, [this] {
        showState();
        showIcons();
    });
    connect(&model_, &EbbcastAppModel::elapsedTextChanged, this, &MiniRecorderWindowController::showState);
}

MiniRecorderWindowController::~MiniRecorderWindowController() = default;

std::optional<QRect> MiniRecorderWindowController::initialGeometry(const QScreen* screen)
{
    if (screen == nullptr)
        return std::nullopt;
    const QRect area = screen->availableGeometry();
    return QRect(area.x() + (area.width() - windowWidth) / 2, area.y() + topOffset, windowWidth,
                 windowHeight);
}

void MiniRecorderWindowController::show()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!window_)
        createWindow();
    window_->show();
    window_->raise();
    reportVisibility();
}

void MiniRecorderWindowController::hide()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (window_)
        window_->hide();
    reportVisibility();
}

void MiniRecorderWindowController::toggle()
{
    if (isVisible())
        hide();
    else
        show();
}

bool MiniRecorderWindowController::isVisible() const
{
    return window_ && window_->isVisible();
}

void MiniRecorderWindowController::setVisibilityChangedHandler(std::function<void(bool)> handler)
{
    visibilityChanged_ = std::move(handler);
}

QWidget* MiniRecorderWindowController::window() const
{
    return window_.get();
}

void MiniRecorderWindowController::createWindow()
{
    auto window = std::make_unique<Window>([this] { closedByUser(); }, [this] { showIcons(); });
    window->setWindowTitle(u"Ebbcast Mini Controller"_s);
    window->setAccessibleName(u"Ebbcast Mini Controller"_s);
    window->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    window->setAttribute(Qt::WA_QuitOnClose, false);
    window->setFixedSize(windowWidth, windowHeight);

    auto* layout = new QHBoxLayout(window.get());
    layout->setContentsMargins(12, 0, 8, 0);
    layout->setSpacing(2);
    stateMark_ = new StateMark(window.get());
    stateMark_->setObjectName(u"runState"_s);
    layout->addWidget(stateMark_);
    layout->addSpacing(6);
    const auto addButton = [&](const QString& objectName,
                               std::function<void()> MiniRecorderActions::*action) {
        auto* button = new BarButton(window.get());
        button->setObjectName(objectName);
        connect(button, &QToolButton::clicked, this, [this, action] {
            if (actions_.*action)
                (actions_.*action)();
        });
        layout->addWidget(button);
        return button;
    };
    record_ = addButton(u"record"_s, &MiniRecorderActions::startRecording);
    stop_ = addButton(u"stop"_s, &MiniRecorderActions::stopRecording);
    pause_ = addButton(u"pause"_s, &MiniRecorderActions::pauseRecording);
    wrapUp_ = addButton(u"wrapUp"_s, &MiniRecorderActions::wrapUp);
    marker_ = addButton(u"marker"_s, &MiniRecorderActions::createMarker);
    overlay_ = addButton(u"overlay"_s, &MiniRecorderActions::toggleRecordingIndicators);
    layout->addStretch(1);
    close_ = new BarButton(window.get());
    close_->setObjectName(u"close"_s);
    connect(close_, &QToolButton::clicked, this, [this] { window_->close(); });
    layout->addWidget(close_);

    // Fixed texts; those that follow the state are set in showState().
    const auto name = [](QToolButton* button, const QString& text) {
        button->setText(text);
        button->setToolTip(text);
        button->setAccessibleName(text);
    };
    name(record_, u"Record"_s);
    name(stop_, u"Stop"_s);
    name(marker_, u"Marker"_s);
    name(close_, u"Close"_s);
    pause_->setText(u"Pause"_s);
    pause_->setAccessibleName(u"Pause"_s);
    pause_->setToolTip(u"Pause is not supported yet"_s);
    pause_->setAccessibleDescription(u"Pause is not supported yet"_s);
    pause_->setEnabled(false);
    stop_->setToolTip(u"Stop (Ctrl+.)"_s);
    marker_->setToolTip(u"Marker (Ctrl+M)"_s);

    // Keys act like the buttons, only when these may be used.
    const auto addShortcut = [&](const QKeySequence& keys, QToolButton* button) {
        auto* shortcut = new QShortcut(keys, window.get());
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, button, [button] {
            if (button->isEnabled())
                button->click();
        });
    };
    addShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period), stop_);
    addShortcut(QKeySequence(Qt::CTRL | Qt::Key_M), marker_);

    if (const std::optional<QRect> geometry = initialGeometry(QGuiApplication::primaryScreen()))
        window->setGeometry(*geometry);
    window_ = std::move(window);
    showIcons();
    showState();
}

void MiniRecorderWindowController::showState()
{
    if (!window_)
        return;
    const EbbcastRunState state = model_.state();
    const bool recording = sessionRecords(state);
    const bool wrapUpRecords = state == EbbcastRunState::wrapUp;

    auto* mark = static_cast<StateMark*>(stateMark_);
    mark->setState(state);
    const QString stateName = displayName(state);
    mark->setAccessibleName(stateName);
    mark->setToolTip(recording || wrapUpRecords ? stateName + u" · "_s + model_.elapsedText() : stateName);

    record_->setEnabled(mayStartRecording(state));
    stop_->setEnabled(recording);
    marker_->setEnabled(recording);

    const QString wrapUpText = wrapUpRecords ? u"End Wrap Up"_s : u"Wrap Up"_s;
    wrapUp_->setText(wrapUpText);
    wrapUp_->setToolTip(wrapUpText);
    wrapUp_->setAccessibleName(wrapUpText);

    const QString overlayText =
        model_.recordingIndicatorsHidden() ? u"Show Recording Overlay"_s : u"Hide Recording Overlay"_s;
    overlay_->setText(overlayText);
    overlay_->setToolTip(overlayText);
    overlay_->setAccessibleName(overlayText);
    overlay_->setEnabled(recording);
}

void MiniRecorderWindowController::showIcons()
{
    if (!window_)
        return;
    const QColor text = window_->palette().color(QPalette::ButtonText);
    const auto symbol = [&text](const QStringList& themeNames, const QString& file) {
        return themedIcon(themeNames, u":/shell-icons/"_s + file, text);
    };
    record_->setIcon(symbol({u"media-record"_s}, u"record.svg"_s));
    stop_->setIcon(symbol({u"media-playback-stop"_s}, u"stop.svg"_s));
    pause_->setIcon(symbol({u"media-playback-pause"_s}, u"pause.svg"_s));
    // A wrap-up note is a short camera recording.
    wrapUp_->setIcon(symbol({u"camera-video"_s, u"camera-web"_s}, u"camera.svg"_s));
    marker_->setIcon(symbol({u"flag"_s, u"bookmark-new"_s}, u"flag.svg"_s));
    overlay_->setIcon(model_.recordingIndicatorsHidden() ? symbol({u"view-visible"_s}, u"eye.svg"_s)
                                                         : symbol({u"view-hidden"_s}, u"eye-hidden.svg"_s));
    close_->setIcon(symbol({u"window-close"_s}, u"close.svg"_s));
}

void MiniRecorderWindowController::reportVisibility()
{
    report(isVisible());
}

void MiniRecorderWindowController::report(bool visible)
{
    if (visible == reportedVisible_)
        return;
    reportedVisible_ = visible;
    if (visibilityChanged_)
        visibilityChanged_(visible);
}

void MiniRecorderWindowController::closedByUser()
{
    // Still visible while the close event is handled; hidden right after it.
    report(false);
    if (actions_.close)
        actions_.close();
}

} // namespace ebbcast
