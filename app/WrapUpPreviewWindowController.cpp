#include "app/WrapUpPreviewWindowController.h"

#include "app/CameraPreviewView.h"
#include "app/X11WindowHints.h"
#include "capture/CameraPreviewFeed.h"
#include "core/base/EbbcastError.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>

#include <functional>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

// The top-level window: closing it hides it, and tells the controller.
class PreviewWindow : public QWidget {
public:
    explicit PreviewWindow(std::function<void()> closed)
        : closed_(std::move(closed))
    {}

protected:
    void closeEvent(QCloseEvent* event) override
    {
        closed_();
        QWidget::closeEvent(event); // accepted: hidden, never deleted
    }

private:
    std::function<void()> closed_;
};

} // namespace

WrapUpPreviewWindowController::WrapUpPreviewWindowController(QObject* parent)
    : QObject(parent)
{}

WrapUpPreviewWindowController::~WrapUpPreviewWindowController() = default;

std::optional<QString> WrapUpPreviewWindowController::displayUnavailableReason()
{
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return u"No display to show the wrap-up preview on."_s;
    const QString platform = QGuiApplication::platformName();
    if (platform == u"offscreen"_s || platform == u"minimal"_s)
        return u"No display to show the wrap-up preview on (the Qt platform \""_s + platform +
               u"\" shows no windows)."_s;
    if (QGuiApplication::primaryScreen() == nullptr)
        return u"No display to show the wrap-up preview on (no screen is connected)."_s;
    return std::nullopt;
}

void WrapUpPreviewWindowController::show(CameraPreviewFeed& feed)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (const std::optional<QString> reason = displayUnavailableReason())
        throw EbbcastError(*reason);

    if (!window_) {
        auto window = std::make_unique<PreviewWindow>([this] {
            view_->unbind();
            Q_EMIT closedByUser();
        });
        window->setWindowTitle(u"Wrap Up Preview"_s);
        window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint);
        window->setAttribute(Qt::WA_QuitOnClose, false);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        view_ = new CameraPreviewView(window.get());
        layout->addWidget(view_);
        window->setFixedSize(contentWidth, contentHeight);
        QRect content(0, 0, contentWidth, contentHeight);
        content.moveCenter(QGuiApplication::primaryScreen()->availableGeometry().center());
        window->setGeometry(content);
        window->winId(); // the native window, for its properties before it is first mapped
        window_ = std::move(window);
    }

    view_->bind(&feed);
    const bool mapped = window_->isVisible();
    if (!mapped)
        showOnAllWorkspaces(*window_, false);
    window_->showNormal(); // also brings a minimized window back
    window_->raise();
    window_->activateWindow();
    // Repeated as a request: a window manager that withdrew the window while it was hidden may have dropped
    // the properties, and one that manages it by now takes only requests.
    showOnAllWorkspaces(*window_, true);
}

void WrapUpPreviewWindowController::hide()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!window_)
        return;
    view_->unbind();
    window_->hide();
}

bool WrapUpPreviewWindowController::isShown() const
{
    return window_ && window_->isVisible();
}

QWidget* WrapUpPreviewWindowController::window() const
{
    return window_.get();
}

} // namespace ebbcast
