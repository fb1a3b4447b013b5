// Composition root of the ebbcast executable: reads the command line, then creates the long-lived components
// once, in order, hands them to each other and runs the chosen command. It wires and does nothing else.

#include "AppActivityMonitor.h"
#include "AppPaths.h"
#include "BuildInfo.h"
#include "ClockSyncManager.h"
#include "CommandContext.h"
#include "CommandDispatcher.h"
#include "Console.h"
#include "LinuxRecorderFactory.h"
#include "Logger.h"
#include "OverviewCommand.h"
#include "PermissionManager.h"
#include "PreferencesStore.h"
#include "RecordCommand.h"
#include "RecordingProcessLock.h"
#include "RecordingSession.h"
#include "RecoverCommand.h"
#include "ScreenSaverInhibitor.h"
#include "SettingsCommand.h"
#include "SettingsFile.h"
#include "StandardErrorAlerts.h"
#include "StopSignals.h"
#include "X11FrontmostApplicationSource.h"
#include "X11ScreenFrameSource.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QProcessEnvironment>

namespace {

// Builds what commands run with and runs `command`.
int buildAndRun(ebbcast::CommandDispatcher& commandLine, ebbcast::Command& command, ebbcast::Console& console,
                ebbcast::StopSignals& stopSignals)
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
    ebbcast::X11FrontmostApplicationSource frontmostApplication;
    ebbcast::AppActivityMonitor appActivityMonitor(preferences, frontmostApplication);
    ebbcast::ClockSyncManager clockSyncManager(preferences, logger, network);
    ebbcast::LinuxRecorderFactory recorders;
    ebbcast::ScreenSaverInhibitor inhibitor;
    ebbcast::StandardErrorAlerts alerts(console);
    ebbcast::RecordingSession session(preferences, permissions, appActivityMonitor, clockSyncManager, logger,
                                      recorders, inhibitor, alerts);
    ebbcast::RecordingProcessLock processLock(paths->stateDirectory() + QStringLiteral("/recording.lock"));
    ebbcast::X11ScreenFrameSource screens;

    ebbcast::CommandContext context{console, stopSignals, *paths,    preferences, settingsFile,
                                    screens, session,     recorders, processLock};
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
    ebbcast::CommandDispatcher commandLine(console, overview, {&record, &recover, &settings});

    // Parse, then build, then run: help and usage errors create nothing, and a command that catches SIGINT
    // and SIGTERM does so before anything exists that a signal could leave half made.
    const ebbcast::CommandDispatcher::Invocation invocation =
        commandLine.parse(QCoreApplication::arguments().mid(1));
    if (invocation.command == nullptr)
        return commandLine.answer(invocation);
    if (invocation.command->catchesStopSignals())
        stopSignals.install();
    return stopSignals.exitStatus(buildAndRun(commandLine, *invocation.command, console, stopSignals));
}
