// Entry of the ebbcast executable: reads the command line, then either runs the application (in the tray, or
// headless) through its composition root, AppDelegate, or creates what a command needs, once, in order, and
// runs the command. It wires and does nothing else.

#include "app/AppDelegate.h"
#include "app/CommandContext.h"
#include "app/CommandDispatcher.h"
#include "app/Console.h"
#include "app/ControlService.h"
#include "app/CtlCommand.h"
#include "app/DriveCommand.h"
#include "app/InstanceLock.h"
#include "app/LinuxAppComponentFactory.h"
#include "app/LinuxRecorderFactory.h"
#include "app/PlatformBackends.h"
#include "app/RecordCommand.h"
#include "app/RecordingProcessLock.h"
#include "app/RecoverCommand.h"
#include "app/SessionControl.h"
#include "app/SettingsCommand.h"
#include "app/SettingsWiring.h"
#include "app/StandardErrorAlerts.h"
#include "app/TranscribeCommand.h"
#include "app/UploadCommand.h"
#include "capture/AppActivityMonitor.h"
#include "capture/FrontmostApplicationSource.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenFrameSource.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/AppPaths.h"
#include "core/base/BuildInfo.h"
#include "core/base/DriveWebLinks.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingsFile.h"
#include "drive/GoogleAuthManager.h"
#include "drive/GoogleDriveClient.h"
#include "drive/GoogleEndpoints.h"
#include "drive/KeychainStore.h"
#include "drive/UploadManager.h"
#include "model/EbbcastAppModel.h"
#include "session/ActivityInhibitor.h"
#include "session/RecordingSession.h"
#include "shell/StopSignals.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QGuiApplication>
#include <QNetworkAccessManager>
#include <QProcessEnvironment>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Builds what commands run with and runs `command`.
int buildAndRun(ebbcast::CommandDispatcher& commandLine, ebbcast::Command& command, ebbcast::Console& console,
                ebbcast::StopSignals& stopSignals, const ebbcast::GoogleEndpoints& googleEndpoints,
                bool interactiveSignIn)
{
    const auto paths = ebbcast::AppPaths::fromEnvironment(QProcessEnvironment::systemEnvironment());
    if (!paths) {
        console.error(ebbcast::AppPaths::missingHomeProblem());
        return 1;
    }
    ebbcast::Logger logger(paths->logFilePath());
    ebbcast::SettingsFile settingsFile(paths->settingsFilePath(), logger);
    ebbcast::PreferencesStore preferences(settingsFile, logger);
    QNetworkAccessManager network;
    ebbcast::PermissionManager permissions(logger);
    ebbcast::PlatformBackends backends =
        ebbcast::loadPlatformBackends(QProcessEnvironment::systemEnvironment());
    ebbcast::AppActivityMonitor appActivityMonitor(*backends.frontmostApplication,
                                                   ebbcast::SettingsWiring::watchList(preferences));
    ebbcast::ClockSyncManager clockSyncManager(ebbcast::SettingsWiring::clockSyncConfig(preferences), logger,
                                               network);
    ebbcast::StandardErrorAlerts alerts(console);
    ebbcast::RecordingSession session(ebbcast::SettingsWiring::sessionSettings(preferences), permissions,
                                      appActivityMonitor, clockSyncManager, logger, *backends.recorders,
                                      *backends.inhibitor, alerts);
    ebbcast::RecordingProcessLock processLock(paths->stateDirectory() + QStringLiteral("/recording.lock"));
    ebbcast::KeychainStore keychain;
    ebbcast::GoogleAuthManager googleAuth(
        ebbcast::SettingsWiring::googleOAuthClient(preferences), keychain, network, googleEndpoints, logger,
        ebbcast::DriveCommand::signInBrowser(console), {.interactiveSignInAllowed = interactiveSignIn});
    ebbcast::GoogleDriveClient googleDrive(googleAuth, network, googleEndpoints);
    const ebbcast::DriveWebLinks driveLinks(googleEndpoints.driveWebURL);
    ebbcast::UploadManager uploads(ebbcast::SettingsWiring::uploadConfig(preferences), googleDrive, logger);
    ebbcast::SettingsWiring settingsWiring(preferences);
    settingsWiring.connect(appActivityMonitor);
    settingsWiring.connect(clockSyncManager);
    settingsWiring.connect(session);
    settingsWiring.connect(uploads);

    ebbcast::CommandContext context{console,    stopSignals, *paths,      preferences, settingsFile,
                                    backends,   session,     processLock, googleAuth,  googleDrive,
                                    driveLinks, uploads,     logger};
    return commandLine.run(command, context);
}

// Runs `command` inside the application, headless and without monitors ("record", "transcribe"): the command
// gets the application's components. What still works on sessions when the command ends (a wait cut short,
// --no-wait) is abandoned, not torn down: the next run resumes it from the documents.
int runCommandInApplication(ebbcast::CommandDispatcher& commandLine, ebbcast::Command& command,
                            ebbcast::Console& console, ebbcast::StopSignals& stopSignals,
                            const ebbcast::GoogleEndpoints& googleEndpoints, bool transcriptionRequested)
{
    const auto paths = ebbcast::AppPaths::fromEnvironment(QProcessEnvironment::systemEnvironment());
    if (!paths) {
        console.error(ebbcast::AppPaths::missingHomeProblem());
        return 1;
    }
    ebbcast::LinuxAppComponentFactory factory(*paths, googleEndpoints, console, {.tray = false});
    ebbcast::AppDelegate delegate(
        factory, {.quit = {}, .startMonitors = false, .transcriptionRequested = transcriptionRequested});
    try {
        delegate.create();
    } catch (const ebbcast::EbbcastError& error) {
        console.error(QStringLiteral("Ebbcast could not start: ") + error.description());
        return 1;
    }
    ebbcast::RecordingProcessLock processLock(paths->stateDirectory() + QStringLiteral("/recording.lock"));
    // "record" takes the lock it shares with the application once it knows it may record (so that a second
    // "record" hears where the first one records); "transcribe" works beside them.
    ebbcast::InstanceLock instance(ebbcast::InstanceLock::lockFilePath(*paths));
    const ebbcast::DriveWebLinks driveLinks(googleEndpoints.driveWebURL);
    ebbcast::CommandContext context{console,
                                    stopSignals,
                                    *paths,
                                    *delegate.preferences(),
                                    *delegate.settingsFile(),
                                    factory.backends(),
                                    *delegate.session(),
                                    processLock,
                                    *delegate.googleAuth(),
                                    *delegate.googleDrive(),
                                    driveLinks,
                                    *delegate.uploads(),
                                    *delegate.logger(),
                                    &delegate,
                                    transcriptionRequested ? nullptr : &instance};
    const int status = commandLine.run(command, context);
    if (delegate.hasWorkInFlight()) {
        delegate.logger()->info(QStringLiteral("Ebbcast ends with work in flight; the next run resumes it"));
        delegate.logger()->flush();
        std::fflush(nullptr);
        std::_Exit(stopSignals.exitStatus(status));
    }
    return status;
}

// Runs the application until it quits; its exit status.
// Whether an application runs already and took this launch's arguments and working folder (Activate).
bool handedToRunningApplication(QDBusConnection bus)
{
    if (!bus.isConnected() || bus.interface() == nullptr ||
        !bus.interface()->isServiceRegistered(ebbcast::ControlService::serviceName).value())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        ebbcast::ControlService::serviceName, ebbcast::ControlService::objectPath,
        ebbcast::ControlService::interfaceName, QStringLiteral("Activate"));
    call << QCoreApplication::arguments().mid(1) << QDir::currentPath();
    // Before the event loop runs: a plain blocking call, no nested loop.
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

// Puts the control interface on the session bus, and takes it off again before the teardown.
void publishControl(ebbcast::ControlService& service, ebbcast::AppDelegate& delegate)
{
    using Publication = ebbcast::ControlService::Publication;
    const Publication published = service.publish(QDBusConnection::sessionBus());
    if (published != Publication::published) {
        delegate.logger()->info(
            published == Publication::nameTaken
                ? QStringLiteral("Another process owns com.tavilon.Ebbcast on the session "
                                 "bus: 'ebbcast ctl' will not reach this one")
                : QStringLiteral("No D-Bus session bus: 'ebbcast ctl' will not work"));
        return;
    }
    ebbcast::EbbcastAppModel& model = *delegate.model();
    for (const auto change :
         {&ebbcast::EbbcastAppModel::stateChanged, &ebbcast::EbbcastAppModel::currentSessionFolderChanged,
          &ebbcast::EbbcastAppModel::lastSessionFolderChanged,
          &ebbcast::EbbcastAppModel::transcriptStatusChanged,
          &ebbcast::EbbcastAppModel::lastUploadStatusChanged})
        QObject::connect(&model, change, &service, &ebbcast::ControlService::announceStateChange);
}

int runApplication(const ebbcast::CommandDispatcher::Invocation& invocation, ebbcast::Console& console,
                   ebbcast::StopSignals& stopSignals, const ebbcast::GoogleEndpoints& googleEndpoints)
{
    const bool tray = invocation.application == ebbcast::CommandDispatcher::Application::tray;
    const auto paths = ebbcast::AppPaths::fromEnvironment(QProcessEnvironment::systemEnvironment());
    if (!paths) {
        console.error(ebbcast::AppPaths::missingHomeProblem());
        return 1;
    }
    // One application per user: a second one would record and upload the same sessions twice. The running one
    // is asked over the session bus to take this launch's arguments; without a bus the lock below decides.
    if (handedToRunningApplication(QDBusConnection::sessionBus()))
        return 0;
    ebbcast::InstanceLock instance(ebbcast::InstanceLock::lockFilePath(*paths));
    if (const auto refused = instance.takeOrExplain(ebbcast::InstanceLock::Role::application, console))
        return *refused;

    ebbcast::LinuxAppComponentFactory factory(*paths, googleEndpoints, console, {.tray = tray});
    if (invocation.chunkSeconds)
        factory.backends().recorders->setChunkSeconds(*invocation.chunkSeconds);
    ebbcast::AppDelegate delegate(factory);
    if (tray) {
        QObject::connect(qApp, &QGuiApplication::commitDataRequest, &delegate,
                         &ebbcast::AppDelegate::sessionEnding);
    }
    ebbcast::SessionControl control(delegate, [&delegate](const QStringList& arguments, const QString&) {
        if (ebbcast::Logger* logger = delegate.logger())
            logger->info(
                QStringLiteral("Another launch of Ebbcast handed over (%1 arguments)").arg(arguments.size()));
        // Launched again without a command: the windows come forward.
        if (arguments.isEmpty())
            delegate.reopen();
    });
    ebbcast::ControlService controlService(control);
    int failed = 0;
    QTimer::singleShot(0, &delegate, [&] {
        try {
            delegate.launch();
            delegate.quitOn(stopSignals);
            publishControl(controlService, delegate);
        } catch (const ebbcast::EbbcastError& error) {
            console.error(QStringLiteral("Ebbcast could not start: ") + error.description());
            failed = 1;
            QCoreApplication::exit(1);
        } catch (const std::exception& error) {
            console.error(QStringLiteral("Ebbcast could not start: ") + QString::fromLocal8Bit(error.what()));
            failed = 1;
            QCoreApplication::exit(1);
        }
    });
    const int status = QCoreApplication::exec();
    controlService.withdraw();
    return failed != 0 ? failed : status;
}

// Whether a tray can be shown: an X display (directly or through XWayland) or a platform chosen explicitly.
bool hasDisplay(const QProcessEnvironment& environment)
{
    return !environment.value(QStringLiteral("DISPLAY")).isEmpty() ||
           !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty() ||
           !environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty();
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int index = 1; index < argc; ++index)
        arguments.append(QString::fromLocal8Bit(argv[index]));
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

    ebbcast::Console console;
    ebbcast::RecordCommand record;
    ebbcast::RecoverCommand recover;
    ebbcast::SettingsCommand settings;
    ebbcast::DriveCommand drive;
    ebbcast::UploadCommand upload;
    ebbcast::TranscribeCommand transcribe;
    ebbcast::CtlCommand ctl;
    ebbcast::CommandDispatcher commandLine(console,
                                           {&record, &recover, &settings, &drive, &upload, &transcribe, &ctl},
                                           ebbcast::AppPaths::fromEnvironment(environment));

    // Parse, then build, then run: help and usage errors create nothing, and a command that catches SIGINT
    // and SIGTERM does so before anything exists that a signal could leave half made.
    const ebbcast::CommandDispatcher::Invocation invocation = commandLine.parse(arguments);
    using Application = ebbcast::CommandDispatcher::Application;

    // The tray needs a GUI application, everything else a core one.
    const bool trayWanted = invocation.application == Application::tray;
    if (trayWanted && !hasDisplay(environment)) {
        console.error(
            QStringLiteral("ebbcast: no display to show a tray icon on (DISPLAY is not set); "
                           "'ebbcast --headless' runs without one, 'ebbcast --help' lists the commands."));
        return 1;
    }
    std::unique_ptr<QCoreApplication> application;
    if (trayWanted) {
        auto gui = std::make_unique<QApplication>(argc, argv);
        // Closing a message box must not end a tray application.
        QApplication::setQuitOnLastWindowClosed(false);
        application = std::move(gui);
    } else {
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("ebbcast"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(ebbcast::BuildInfo::version));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tavilon.Ebbcast"));

    if (invocation.command == nullptr && invocation.application == Application::none)
        return commandLine.answer(invocation);
    if (invocation.command == &ctl) {
        // Talks to the running application only: nothing of its own is built.
        return commandLine.runAlone([&] { return ctl.control(console, QDBusConnection::sessionBus()); });
    }
    ebbcast::GoogleEndpoints googleEndpoints;
    try {
        googleEndpoints = ebbcast::GoogleEndpoints::fromEnvironment(environment);
    } catch (const ebbcast::GoogleEndpointsError& error) {
        console.error(error.description());
        return 1;
    }
    if (invocation.application != Application::none) {
        ebbcast::StopSignals quitSignals(ebbcast::StopSignals::quitSignals());
        quitSignals.install();
        return runApplication(invocation, console, quitSignals, googleEndpoints);
    }
    ebbcast::StopSignals stopSignals;
    if (invocation.command->catchesStopSignals())
        stopSignals.install();
    if (invocation.command == &record || invocation.command == &transcribe)
        return stopSignals.exitStatus(runCommandInApplication(commandLine, *invocation.command, console,
                                                              stopSignals, googleEndpoints,
                                                              invocation.command == &transcribe));
    // A repair waits for the application and "record": they repair, or record, themselves.
    std::optional<ebbcast::InstanceLock> repairing;
    if (invocation.command == &recover) {
        const auto paths = ebbcast::AppPaths::fromEnvironment(environment);
        if (paths) {
            repairing.emplace(ebbcast::InstanceLock::lockFilePath(*paths));
            if (const auto refused = repairing->takeOrExplain(ebbcast::InstanceLock::Role::recover, console))
                return *refused;
        }
    }
    // Only "drive sign-in" may open the browser; every other command fails when it is not signed in.
    const bool interactiveSignIn = invocation.command == &drive && drive.signsIn();
    return stopSignals.exitStatus(buildAndRun(commandLine, *invocation.command, console, stopSignals,
                                              googleEndpoints, interactiveSignIn));
}
