#include "shell/ShutdownInhibitor.h"

#include "core/base/Logger.h"
#include "shell/DBusErrors.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString logindService = u"org.freedesktop.login1"_s;
const QString logindPath = u"/org/freedesktop/login1"_s;
const QString logindManager = u"org.freedesktop.login1.Manager"_s;

} // namespace

ShutdownInhibitor::ShutdownInhibitor(QDBusConnection systemBus, Logger& logger, QObject* parent)
    : QObject(parent)
    , bus_(std::move(systemBus))
    , logger_(logger)
{
    if (bus_.isConnected())
        bus_.connect(logindService, logindPath, logindManager, u"PrepareForShutdown"_s, this,
                     SLOT(prepareForShutdown(bool)));
}

ShutdownInhibitor::~ShutdownInhibitor() = default;

void ShutdownInhibitor::setRecording(bool recording)
{
    recording_ = recording;
    if (!recording) {
        if (lock_) {
            lock_.reset();
            logger_.info(u"Shutdown delay released"_s);
        }
        return;
    }
    if (lock_ || asking_)
        return;
    if (!bus_.isConnected()) {
        reportUnavailable(bus_.lastError().isValid() ? describeDBusError(bus_.lastError())
                                                     : u"no system bus"_s);
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(logindService, logindPath, logindManager, u"Inhibit"_s);
    call << u"shutdown:sleep"_s << u"Ebbcast"_s << u"Finishing the recording"_s << u"delay"_s;
    asking_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &ShutdownInhibitor::inhibitFinished);
}

void ShutdownInhibitor::inhibitFinished(QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    asking_ = false;
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
    if (reply.isError()) {
        if (meansServiceAbsent(reply.error()))
            reportUnavailable(describeDBusError(reply.error()));
        else
            logger_.error(
                u"Could not delay shutdown for the recording: %1"_s.arg(describeDBusError(reply.error())));
        return;
    }
    // The reply's own copy closes with the reply; a lock no longer wanted goes with it.
    if (!recording_)
        return;
    const QDBusUnixFileDescriptor descriptor = reply.value();
    const int fd = descriptor.isValid() ? ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0) {
        logger_.error(u"Could not delay shutdown for the recording: %1"_s.arg(
            descriptor.isValid() ? QString::fromLocal8Bit(std::strerror(errno)) : u"no file descriptor"_s));
        return;
    }
    lock_.emplace(fd);
    logger_.info(u"Shutdown delayed while recording"_s);
}

void ShutdownInhibitor::prepareForShutdown(bool starting)
{
    if (!starting)
        return;
    logger_.info(u"System shutdown announced"_s);
    Q_EMIT shutdownStarting();
}

void ShutdownInhibitor::reportUnavailable(const QString& reason)
{
    if (unavailableReported_)
        return;
    unavailableReported_ = true;
    logger_.info(u"Shutdown delay unavailable: %1"_s.arg(reason));
}

} // namespace ebbcast
