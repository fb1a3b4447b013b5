// Composition root of the ebbcast executable: reads the command line, then creates the long-lived components
// once, in order, hands them to each other and runs the chosen command. It wires and does nothing else.

#include "app/CommandContext.h"
#include "app/CommandDispatcher.h"
#include "app/Console.h"
#include "app/DriveCommand.h"
#include "app/LinuxRecorderFactory.h"
#include "app/OverviewCommand.h"
#include "app/PlatformBackends.h"
#include "app/RecordCommand.h"
#include "app/RecordingProcessLock.h"
#include "app/RecoverCommand.h"
#include "app/SettingsCommand.h"
#include "app/SettingsWiring.h"
#include "app/StandardErrorAlerts.h"
#include "app/UploadCommand.h"
#include "capture/AppActivityMonitor.h"
#include "capture/FrontmostApplicationSource.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenFrameSource.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/AppPaths.h"
#include "core/base/BuildInfo.h"
#include "core/base/Logger.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingsFile.h"
#include "drive/DriveWebLinks.h"
#include "drive/GoogleAuthManager.h"
#include "drive/GoogleDriveClient.h"
#include "drive/GoogleEndpoints.h"
#include "drive/KeychainStore.h"
#include "drive/UploadManager.h"
#include "session/ActivityInhibitor.h"
#include "session/RecordingSession.h"
#include "shell/StopSignals.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QProcessEnvironment>

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

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ebbcast"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(ebbcast::BuildInfo::version));

    ebbcast::Console console;
    ebbcast::StopSignals stopSignals;
    ebbcast::OverviewCommand overview;
    ebbcast::RecordCommand record;
    ebbcast::RecoverCommand recover;
    ebbcast::SettingsCommand settings;
    ebbcast::DriveCommand drive;
    ebbcast::UploadCommand upload;
    ebbcast::CommandDispatcher commandLine(console, overview,
                                           {&record, &recover, &settings, &drive, &upload});

    // Parse, then build, then run: help and usage errors create nothing, and a command that catches SIGINT
    // and SIGTERM does so before anything exists that a signal could leave half made.
    const ebbcast::CommandDispatcher::Invocation invocation =
        commandLine.parse(QCoreApplication::arguments().mid(1));
    if (invocation.command == nullptr)
        return commandLine.answer(invocation);
    ebbcast::GoogleEndpoints googleEndpoints;
    try {
        googleEndpoints = ebbcast::GoogleEndpoints::fromEnvironment(QProcessEnvironment::systemEnvironment());
    } catch (const ebbcast::GoogleEndpointsError& error) {
        console.error(error.description());
        return 1;
    }
    if (invocation.command->catchesStopSignals())
        stopSignals.install();
    // Only "drive sign-in" may open the browser; every other command fails when it is not signed in.
    const bool interactiveSignIn = invocation.command == &drive && drive.signsIn();
    return stopSignals.exitStatus(buildAndRun(commandLine, *invocation.command, console, stopSignals,
                                              googleEndpoints, interactiveSignIn));
}
