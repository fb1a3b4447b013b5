#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>

namespace ebbcast {

struct FolderRevealerOptions {
    // How long the file manager may take to answer.
    std::chrono::milliseconds timeout = std::chrono::seconds(5);
    // Opens the folder itself when no file manager shows it; QDesktopServices::openUrl (xdg-open) when empty.
    std::function<void(const QUrl& folder)> openFolder;
};

// Shows a folder in the desktop's file manager, selected in its parent: org.freedesktop.FileManager1's
// ShowItems on the given bus, asynchronous. Without a bus, without a file manager on it, on an error or no
// answer within the time-out, the folder itself is opened instead. Main thread only.
class FolderRevealer : public QObject {
    Q_OBJECT

public:
    explicit FolderRevealer(QDBusConnection bus, FolderRevealerOptions options = {},
                            QObject* parent = nullptr);

    void reveal(const QString& folder);

Q_SIGNALS:
    // After each reveal(): whether the file manager took it (false: the folder was opened instead).
    void revealed(const QString& folder, bool byFileManager);

private:
    void openInstead(const QString& folder);

    QDBusConnection bus_;
    FolderRevealerOptions options_;
};

} // namespace ebbcast
