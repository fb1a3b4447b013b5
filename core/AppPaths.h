#pragma once

#include <QProcessEnvironment>
#include <QString>

namespace ebbcast {

// Where the application keeps its own files, following the XDG base directories:
// settings in $XDG_CONFIG_HOME/Tavilon (default ~/.config), the log in $XDG_STATE_HOME/Tavilon
// (default ~/.local/state).
class AppPaths {
public:
    AppPaths(QString configDirectory, QString stateDirectory);

    static AppPaths fromEnvironment(const QProcessEnvironment& environment);

    const QString& configDirectory() const noexcept { return configDirectory_; }
    const QString& stateDirectory() const noexcept { return stateDirectory_; }
    QString settingsFilePath() const;
    QString logFilePath() const;

private:
    QString configDirectory_;
    QString stateDirectory_;
};

} // namespace ebbcast
