#include "drive/KeychainStore.h"

#include <QCoro/QCoroSignal>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QPointer>
#include <qt6keychain/keychain.h>

#include <chrono>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString describe(int status, const QString& cause)
{
    return u"Keychain operation failed with status %1: %2."_s.arg(status).arg(cause);
}

// QtKeychain's texts come from libsecret and D-Bus; they carry no secret, but may span lines.
QString oneLine(QString text)
{
    text.replace(u'\n', u' ');
    text.replace(u'\r', u' ');
    return text.left(200).trimmed();
}

} // namespace

KeychainError::KeychainError(Code code, int status, const QString& cause)
    : CodedError(code, describe(status, cause))
    , status_(status)
{}

KeychainStore::KeychainStore(int jobTimeoutMs)
    : jobTimeoutMs_(jobTimeoutMs)
{}

QCoro::Task<bool> KeychainStore::run(QKeychain::Job* job)
{
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    auto finished = std::make_shared<bool>(false);
    connect(job, &QKeychain::Job::finished, job, [finished] { *finished = true; });
    job->start();
    if (!*finished) {
        QPointer<QKeychain::Job> guard(job);
        co_await qCoro(job, &QKeychain::Job::finished, std::chrono::milliseconds(jobTimeoutMs_));
        if (!guard)
            co_return false;
    }
    if (!*finished) {
        // Left to finish on its own; deleted then, or with this store.
        connect(job, &QKeychain::Job::finished, job, &QObject::deleteLater);
        co_return false;
    }
    co_return true;
}

KeychainError KeychainStore::failure(const QKeychain::Job& job) const
{
    const int status = static_cast<int>(job.error());
    const QString detail = oneLine(job.errorString());
    switch (job.error()) {
    case QKeychain::AccessDenied:
    case QKeychain::AccessDeniedByUser:
        return {KeychainErrorCode::lockedOrDenied, status,
                u"access to the keyring was denied ("_s + detail + u")"_s};
    case QKeychain::NoBackendAvailable:
        return {KeychainErrorCode::noSecretService, status,
                u"no Secret Service is available (is org.freedesktop.secrets owned?)"_s};
    default:
        break;
    }
    // QtKeychain reports a missing bus, a missing service and a locked keyring alike: ask the bus.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return {KeychainErrorCode::noSessionBus, status,
                u"no D-Bus session bus (DBUS_SESSION_BUS_ADDRESS is unset or unreachable)"_s};
    const QDBusReply<bool> owned = bus.interface()->isServiceRegistered(u"org.freedesktop.secrets"_s);
    if (owned.isValid() && !owned.value())
        return {KeychainErrorCode::noSecretService, status,
                u"no Secret Service on the session bus (is org.freedesktop.secrets owned?)"_s};
    return {KeychainErrorCode::lockedOrDenied, status,
            u"the keyring is locked or refused access ("_s + detail + u")"_s};
}

QCoro::Task<QDBusMessage> KeychainStore::ask(QDBusMessage message)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusPendingCallWatcher watcher(bus.asyncCall(message, jobTimeoutMs_));
    if (!watcher.isFinished())
        co_await qCoro(&watcher, &QDBusPendingCallWatcher::finished);
    co_return watcher.reply();
}

QCoro::Task<bool> KeychainStore::defaultKeyringLocked()
{
    if (!QDBusConnection::sessionBus().isConnected())
        co_return false;
    const QString serviceName = u"org.freedesktop.secrets"_s;
    QDBusMessage readAlias = QDBusMessage::createMethodCall(
        serviceName, u"/org/freedesktop/secrets"_s, u"org.freedesktop.Secret.Service"_s, u"ReadAlias"_s);
    readAlias << u"default"_s;
    const QDBusMessage alias = co_await ask(readAlias);
    if (alias.type() != QDBusMessage::ReplyMessage || alias.arguments().isEmpty())
        co_return false;
    const QString collection = qdbus_cast<QDBusObjectPath>(alias.arguments().constFirst()).path();
    if (collection.isEmpty() || collection == u"/"_s)
        co_return false; // no default keyring: nothing can be stored in one
    QDBusMessage get = QDBusMessage::createMethodCall(serviceName, collection,
                                                      u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    get << u"org.freedesktop.Secret.Collection"_s << u"Locked"_s;
    const QDBusMessage locked = co_await ask(get);
    if (locked.type() != QDBusMessage::ReplyMessage || locked.arguments().isEmpty())
        co_return false;
    co_return qdbus_cast<QDBusVariant>(locked.arguments().constFirst()).variant().toBool();
}

KeychainError KeychainStore::timeout() const
{
    return {KeychainErrorCode::timedOut, static_cast<int>(QKeychain::OtherError),
            u"the Secret Service did not answer within %1 s (is the keyring locked?)"_s.arg(jobTimeoutMs_ /
                                                                                            1000)};
}

QCoro::Task<> KeychainStore::save(QString service, QString account, QByteArray data)
{
    auto* job = new QKeychain::WritePasswordJob(service, this);
    job->setKey(account);
    job->setBinaryData(data);
    if (!co_await run(job))
        throw timeout();
    job->deleteLater();
    if (job->error() != QKeychain::NoError)
        throw failure(*job);
}

QCoro::Task<std::optional<QByteArray>> KeychainStore::load(QString service, QString account)
{
    auto* job = new QKeychain::ReadPasswordJob(service, this);
    job->setKey(account);
    if (!co_await run(job))
        throw timeout();
    job->deleteLater();
    if (job->error() == QKeychain::EntryNotFound) {
        // A locked keyring hides its items: "nothing stored" would be a lie there.
        if (co_await defaultKeyringLocked())
            throw KeychainError(
                KeychainErrorCode::lockedOrDenied, static_cast<int>(QKeychain::EntryNotFound),
                u"the default keyring is locked; unlock it (log in again, or open Passwords and Keys)"_s);
        co_return std::nullopt;
    }
    if (job->error() != QKeychain::NoError)
        throw failure(*job);
    co_return job->binaryData();
}

QCoro::Task<> KeychainStore::remove(QString service, QString account)
{
    auto* job = new QKeychain::DeletePasswordJob(service, this);
    job->setKey(account);
    if (!co_await run(job))
        throw timeout();
    job->deleteLater();
    if (job->error() != QKeychain::NoError && job->error() != QKeychain::EntryNotFound)
        throw failure(*job);
}

} // namespace ebbcast
