// Composition root of the ebbcast executable: creates the long-lived components once and hands them over.

#include "AppPaths.h"
#include "BuildInfo.h"
#include "CommandLineInterface.h"
#include "Logger.h"
#include "PreferencesStore.h"
#include "SettingsFile.h"

#include <QCoreApplication>
#include <QProcessEnvironment>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ebbcast"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(ebbcast::BuildInfo::version));

    const auto paths = ebbcast::AppPaths::fromEnvironment(QProcessEnvironment::systemEnvironment());
    ebbcast::Logger logger(paths.logFilePath());
    ebbcast::SettingsFile settingsFile(paths.settingsFilePath(), logger);
    ebbcast::PreferencesStore preferences(settingsFile, logger);

    QTextStream out(stdout);
    QTextStream err(stderr);
    ebbcast::CommandLineInterface commandLine(paths, preferences, settingsFile, out, err);
    return commandLine.run(QCoreApplication::arguments().mid(1));
}
