#pragma once

#include <QProcessEnvironment>
#include <QString>

#include <optional>

namespace ebbcast {

// Where the application keeps its own files, following the XDG base directories:
// settings in $XDG_CONFIG_HOME/Tavilon (default ~/.config), the log in $XDG_STATE_HOME/Tavilon
// (default ~/.local/state).
class AppPaths {
public:
    AppPaths(QString configDirectory, QString stateDirectory);

    // Nothing when HOME is unset or not an absolute path: the defaults, "~" in the recording folder and the
    // recordings themselves all hang off it, and guessing ("/" or the working folder) would scatter files
    // there. The caller then reports missingHomeProblem() and creates nothing.
    static std::optional<AppPaths> fromEnvironment(const QProcessEnvironment& environment);
    static QString missingHomeProblem();
    // "~" and "~/x" name the user's home; "~name/x" that user's home. Any other path, and one naming a user
    // who does not exist, comes back unchanged.
    static QString expandHome(const QString& path);

    const QString& configDirectory() const noexcept { return configDirectory_; }
    const QString& stateDirectory() const noexcept { return stateDirectory_; }
    QString settingsFilePath() const;
    QString logFilePath() const;

private:
    QString configDirectory_;
    QString stateDirectory_;
};

} // namespace ebbcast
