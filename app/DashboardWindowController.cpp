#include "app/DashboardWindowController.h"

#include "app/DashboardView.h"
#include "core/base/EbbcastError.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QScrollArea>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>

#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The top-level window: Escape closes it, wherever the focus is in it, and closing only hides it.
class DashboardWindow : public QWidget {
protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
            close();
            return;
        }
        QWidget::keyPressEvent(event);
    }
};

} // namespace

DashboardWindowController::DashboardWindowController(EbbcastAppModel& model, DashboardActions actions,
                                                     DashboardSources sources, QObject* parent)
    : QObject(parent)
    , model_(model)
    , actions_(std::move(actions))
    , sources_(std::move(sources))
{}

DashboardWindowController::~DashboardWindowController() = default;

void DashboardWindowController::show()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        throw EbbcastError(u"No display to show the dashboard on."_s);

    if (!window_) {
        std::unique_ptr<QWidget> window = std::make_unique<DashboardWindow>();
        window->setWindowTitle(u"Ebbcast"_s);
        window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
        window->setAttribute(Qt::WA_QuitOnClose, false);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        // A window made smaller than the content scrolls instead of squeezing it.
        auto* scroll = new QScrollArea(window.get());
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidgetResizable(true);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        scroll->setFocusPolicy(Qt::NoFocus);
        view_ = new DashboardView(model_, actions_, sources_);
        view_->setTransition(transition_);
        scroll->setWidget(view_);
        layout->addWidget(scroll);

        QRect frame(0, 0, windowWidth, windowHeight);
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            frame.moveCenter(screen->availableGeometry().center());
        window->setGeometry(frame);
        window_ = std::move(window);
    }

    if (window_->isMinimized())
        window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void DashboardWindowController::hide()
{
    if (window_)
        window_->hide();
}

bool DashboardWindowController::isShown() const
{
    return window_ && window_->isVisible();
}

void DashboardWindowController::setTransition(RecordingTransition transition)
{
    transition_ = transition;
    if (view_ != nullptr)
        view_->setTransition(transition);
}

void DashboardWindowController::refresh()
{
    if (view_ != nullptr)
        view_->refresh();
}

} // namespace ebbcast
