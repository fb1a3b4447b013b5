// Composition root of the ebbcast executable: creates the long-lived components once, in order, and hands
// them to each other. It wires and does nothing else.

#include "AppActivityMonitor.h"
#include "AppPaths.h"
#include "BuildInfo.h"
#include "ClockSyncManager.h"
#include "CommandLineInterface.h"
#include "LinuxRecorderFactory.h"
#include "Logger.h"
#include "PermissionManager.h"
#include "PreferencesStore.h"
#include "RecordCommand.h"
#include "RecordingProcessLock.h"
#include "RecordingSession.h"
#include "ScreenSaverInhibitor.h"
#include "SettingsFile.h"
#include "StandardErrorAlerts.h"
#include "X11FrontmostApplicationSource.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QProcessEnvironment>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ebbcast"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(ebbcast::BuildInfo::version));
    QTextStream out(stdout);
    QTextStream err(stderr);

    const auto paths = ebbcast::AppPaths::fromEnvironment(QProcessEnvironment::systemEnvironment());
    if (!paths) {
        err << QStringLiteral("ebbcast: ") << ebbcast::AppPaths::missingHomeProblem() << Qt::endl;
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
    ebbcast::StandardErrorAlerts alerts(err);
    ebbcast::RecordingSession session(preferences, permissions, appActivityMonitor, clockSyncManager, logger,
                                      recorders, inhibitor, alerts);
    ebbcast::RecordingProcessLock processLock(paths->stateDirectory() + QStringLiteral("/recording.lock"));
    ebbcast::RecordCommand recordCommand(session, recorders, processLock, out, err);

    ebbcast::CommandLineInterface commandLine(*paths, preferences, settingsFile, &recordCommand, out, err);
    return commandLine.run(QCoreApplication::arguments().mid(1));
}
