// The tray icon with the application's tray menu, in a process of its own on the display and session bus the
// environment names, for the tests that drive it as a desktop does (an XEmbed tray, a StatusNotifierItem
// host). Usage: ebbcast_tray_probe The menu's components are fakes that print one line per call to standard
// output ("session.start", "google.isConnected", ...); besides them it prints:
//   ready              once the icon is shown in a tray
//   menu.aboutToShow   when the menu is about to open
//   dashboard shown    each time "Open Ebbcast" or a left click has shown the dashboard and it is on screen
// It runs until SIGTERM or SIGINT, then exits 0; 2 when the platform is not xcb.

#include "app/DashboardWindowController.h"
#include "app/MenuBarController.h"
#include "app/MenuBarServices.h"
#include "app/TrayIcon.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "model/EbbcastAppModel.h"
#include "shell/StopSignals.h"

#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// One line on standard output, at once: the test reads them as they come.
void say(const QString& line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

class PrintingRecording final : public MenuRecording {
public:
    explicit PrintingRecording(QString recordings)
        : recordings_(std::move(recordings))
    {}

    bool isRecording() const override { return recording_; }
    bool isTransitioning() const override { return false; }
    QCoro::Task<> start() override
    {
        say(u"session.start"_s);
        recording_ = true;
        co_return;
    }
    QCoro::Task<std::optional<QString>> stop(bool suppressUpload) override
    {
        say(u"session.stop suppressUpload=%1"_s.arg(suppressUpload));
        recording_ = false;
        co_return recordings_ + u"/2026-01-01_10-00-00"_s;
    }
    std::optional<QString> lastCompletedSessionFolder() const override { return std::nullopt; }
    std::optional<QString> currentSessionFolder() const override { return std::nullopt; }
    void createMarker() override { say(u"session.marker"_s); }
    void markWrapUpPending(const QString& folder) override { say(u"wrapUp.pending "_s + folder); }
    void markWrapUpCompleted(const QString& folder, const QString&, const QString&) override
    {
        say(u"wrapUp.completed "_s + folder);
    }
    void markWrapUpFailed(const QString& folder, const QString&) override
    {
        say(u"wrapUp.failed "_s + folder);
    }

private:
    QString recordings_;
    bool recording_ = false;
};

class PrintingWrapUp final : public MenuWrapUp {
public:
    QCoro::Task<QString> start(std::optional<QString> folder) override
    {
        say(u"note.start "_s + folder.value_or(u"(own folder)"_s));
        throw EbbcastError(u"The probe has no camera."_s);
        co_return QString();
    }
    QCoro::Task<WrapUpOutcome> stop() override
    {
        say(u"note.stop"_s);
        co_return WrapUpOutcome{};
    }
};

class PrintingUploads final : public MenuUploads {
public:
    QCoro::Task<bool> isGoogleConnected() override
    {
        say(u"google.isConnected"_s);
        co_return false;
    }
    QCoro::Task<> connectGoogle() override
    {
        say(u"google.connect"_s);
        co_return;
    }
    void uploadSession(const QString& folder) override { say(u"upload "_s + folder); }
    void uploadSessionIfEnabled(const QString& folder) override { say(u"uploadIfEnabled "_s + folder); }
};

class PrintingAlerts final : public MenuAlerts {
public:
    void showInformation(const QString& text, const QString&) override
    {
        say(u"alert.information "_s + text);
    }
    void showError(const QString& text, const QString&) override { say(u"alert.error "_s + text); }
    QCoro::Task<bool> ask(const QString& text, const QString&, const QString&, const QString&) override
    {
        say(u"alert.ask "_s + text);
        co_return false;
    }
};

// Shows the dashboard and says so once its window is on screen.
class DashboardShower : public QObject {
public:
    explicit DashboardShower(DashboardWindowController& dashboard)
        : dashboard_(dashboard)
    {
        watch_.setInterval(20);
        connect(&watch_, &QTimer::timeout, this, [this] {
            QWidget* window = dashboard_.window();
            if (window && window->isVisible() && window->windowHandle() &&
                window->windowHandle()->isExposed()) {
                watch_.stop();
                say(u"dashboard shown"_s);
            }
        });
    }

    void show()
    {
        dashboard_.show();
        watch_.start();
    }

private:
    DashboardWindowController& dashboard_;
    QTimer watch_;
};

} // namespace
} // namespace ebbcast

int main(int argc, char* argv[])
{
    using namespace ebbcast;
    QApplication application(argc, argv);
    // The window class and the item's name the application has.
    QCoreApplication::setApplicationName(u"ebbcast"_s);
    QApplication::setQuitOnLastWindowClosed(false);
    if (QGuiApplication::platformName() != u"xcb"_s) {
        std::fprintf(stderr, "ebbcast_tray_probe: needs the xcb platform\n");
        return 2;
    }
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::caught, &application, &QCoreApplication::quit);
    stopSignals.install();

    int status = 0;
    {
        QTemporaryDir folder;
        Logger logger(folder.filePath(u"probe.log"_s));
        EbbcastAppModel model(QUrl(u"http://127.0.0.1:9"_s));
        PrintingRecording recording(folder.filePath(u"Recordings"_s));
        PrintingWrapUp wrapUp;
        PrintingUploads uploads;
        PrintingAlerts alerts;

        std::optional<DashboardShower> shower;
        MenuBarActions actions;
        actions.showDashboard = [&shower] {
            say(u"menu.showDashboard"_s);
            shower->show();
        };
        actions.toggleMiniController = [] {
            say(u"menu.toggleMiniController"_s);
        };
        actions.showPreferences = [] {
            say(u"menu.showPreferences"_s);
        };
        actions.recordingsFolder = [&folder] {
            return folder.filePath(u"Recordings"_s);
        };
        actions.openFolder = [](const QString& path) {
            say(u"menu.openFolder "_s + path);
        };
        actions.quit = [] {
            say(u"menu.quit"_s);
        };
        MenuBarController controller(MenuBarComponents{recording, wrapUp, uploads, alerts, model, logger},
                                     actions);
        QObject::connect(controller.menu(), &QMenu::aboutToShow, [] { say(u"menu.aboutToShow"_s); });

        DashboardSources sources;
        sources.recordingsFolder = actions.recordingsFolder;
        sources.readiness = [] {
            return std::vector<DeviceReadiness>{};
        };
        sources.revealFolder = [](const QString&) {
        };
        DashboardWindowController dashboard(model, controller.dashboardActions(), sources);
        shower.emplace(dashboard);

        TrayIcon::Actions trayActions;
        trayActions.open = [&shower] {
            say(u"tray.open"_s);
            shower->show();
        };
        TrayIcon tray(model, trayActions, logger);
        tray.useMenu(*controller.menu());

        // The icon is shown once a tray (an XEmbed tray manager or a StatusNotifierItem host) takes it.
        QTimer readiness;
        readiness.setInterval(20);
        QObject::connect(&readiness, &QTimer::timeout, [&] {
            const auto* icon = tray.findChild<QSystemTrayIcon*>();
            if (icon && icon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) {
                readiness.stop();
                say(u"ready"_s);
            }
        });
        readiness.start();

        status = QApplication::exec();
        shower.reset();
    }
    // A menu's platform counterpart (the exported D-Bus menu of a StatusNotifierItem) is deleted later by
    // the menu's destructor: done here, as the event loop no longer runs.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}
