#include "app/FolderRevealer.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>

#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {

FolderRevealer::FolderRevealer(QDBusConnection bus, FolderRevealerOptions options, QObject* parent)
    : QObject(parent)
    , bus_(std::move(bus))
    , options_(std::move(options))
{}

void FolderRevealer::reveal(const QString& folder)
{
    if (!bus_.isConnected()) {
        openInstead(folder);
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(u"org.freedesktop.FileManager1"_s, u"/org/freedesktop/FileManager1"_s,
                                       u"org.freedesktop.FileManager1"_s, u"ShowItems"_s);
    const QString uri =
        QUrl::fromLocalFile(QFileInfo(folder).absoluteFilePath()).toString(QUrl::FullyEncoded);
    call << QStringList{uri} << QString(); // the items, no startup notification id
    const QDBusPendingCall pending = bus_.asyncCall(call, static_cast<int>(options_.timeout.count()));
    auto* watcher = new QDBusPendingCallWatcher(pending, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, folder](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        if (done->isError()) {
            openInstead(folder);
            return;
        }
        Q_EMIT revealed(folder, true);
    });
}

void FolderRevealer::openInstead(const QString& folder)
{
    const QUrl url = QUrl::fromLocalFile(QFileInfo(folder).absoluteFilePath());
    if (options_.openFolder)
        options_.openFolder(url);
    else
        QDesktopServices::openUrl(url);
    Q_EMIT revealed(folder, false);
}

} // namespace ebbcast
