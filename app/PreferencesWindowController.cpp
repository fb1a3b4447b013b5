#include "app/PreferencesWindowController.h"

#include "app/PreferencesForm.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>

#include <functional>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

// Room left around the window on a small screen for the window manager's frame and title bar.
constexpr QSize frameAllowance(16, 48);
constexpr QSize minimumSize(360, 280);

// The top-level window: closing it commits the field being edited and hides it (never deleted).
class PreferencesWindow : public QWidget {
public:
    explicit PreferencesWindow(std::function<void()> closing)
        : closing_(std::move(closing))
    {}

protected:
    void closeEvent(QCloseEvent* event) override
    {
        closing_();
        QWidget::closeEvent(event);
    }

private:
    std::function<void()> closing_;
};

} // namespace

PreferencesWindowController::PreferencesWindowController(PreferencesStore& preferences,
                                                         PreferencesSources sources, QObject* parent)
    : QObject(parent)
    , preferences_(preferences)
    , sources_(std::move(sources))
{}

PreferencesWindowController::~PreferencesWindowController() = default;

QRect PreferencesWindowController::placement(const QRect& available)
{
    const QSize room = (available.size() - frameAllowance).expandedTo(minimumSize);
    QRect area(QPoint(0, 0), QSize(preferredWidth, preferredHeight).boundedTo(room));
    area.moveCenter(available.center());
    return area;
}

void PreferencesWindowController::create()
{
    auto window = std::make_unique<PreferencesWindow>([this] { form_->commitFocusedField(); });
    window->setObjectName(u"preferencesWindow"_s);
    window->setWindowTitle(u"Ebbcast Preferences"_s);
    window->setAccessibleName(u"Ebbcast Preferences"_s);
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    window->setAttribute(Qt::WA_QuitOnClose, false);

    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    scrollArea_ = new QScrollArea(window.get());
    scrollArea_->setObjectName(u"preferencesScrollArea"_s);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setFocusPolicy(Qt::NoFocus); // Tab goes through the fields, which scroll into view
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    form_ = new PreferencesForm(preferences_, sources_);
    scrollArea_->setWidget(form_);
    layout->addWidget(scrollArea_);

    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window.get());
    escape->setContext(Qt::WindowShortcut);
    QWidget* target = window.get();
    connect(escape, &QShortcut::activated, target, [target] { target->close(); });

    window->setMinimumSize(minimumSize);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        window->setGeometry(placement(screen->availableGeometry()));
    else
        window->resize(preferredWidth, preferredHeight);
    window_ = std::move(window);
}

void PreferencesWindowController::show()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!window_)
        create();
    else if (!window_->isVisible())
        form_->reload();
    window_->showNormal(); // also brings a minimized window back
    window_->raise();
    window_->activateWindow();
}

void PreferencesWindowController::hide()
{
    if (window_)
        window_->close();
}

bool PreferencesWindowController::isShown() const
{
    return window_ && window_->isVisible();
}

QWidget* PreferencesWindowController::window() const
{
    return window_.get();
}

} // namespace ebbcast
