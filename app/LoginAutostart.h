#pragma once

#include <QProcessEnvironment>
#include <QString>

namespace ebbcast {

// "Start Ebbcast at login": the desktop's autostart entry (XDG Autostart), the file itself being the state,
// "$XDG_CONFIG_HOME/autostart/com.tavilon.Ebbcast.desktop" (~/.config when the variable is unset or not an
// absolute path). The entry starts the given program in the tray. An entry the user or the desktop disabled
// ("Hidden=true", or "X-GNOME-Autostart-enabled=false") counts as off. Main thread.
class LoginAutostart {
public:
    LoginAutostart(QString entryPath, QString program);

    // The entry's path for an environment (HOME and XDG_CONFIG_HOME).
    static QString entryPathFor(const QProcessEnvironment& environment);
    static QString entryFileName();

    bool isEnabled() const;
    // Writes the entry (atomically, its folder made) or removes it. Throws FileError.
    void setEnabled(bool enabled) const;
    // What the entry holds: the program quoted as a desktop entry's Exec key wants it.
    QByteArray entry() const;

private:
    QString entryPath_;
    QString program_;
};

} // namespace ebbcast
