#include "app/ControlService.h"

#include "app/ControlAdaptor.h"
#include "app/ControlTarget.h"
#include "core/base/EbbcastError.h"

#include <QDBusConnectionInterface>

#include <exception>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast {

const QString ControlService::serviceName = u"com.tavilon.Ebbcast"_s;
const QString ControlService::objectPath = u"/com/tavilon/Ebbcast"_s;
const QString ControlService::interfaceName = u"com.tavilon.Ebbcast.Control1"_s;
const QString ControlService::failedError = u"com.tavilon.Ebbcast.Error.Failed"_s;
const QString ControlService::notRecordingError = u"com.tavilon.Ebbcast.Error.NotRecording"_s;

ControlService::ControlService(ControlTarget& target, QObject* parent)
    : QObject(parent)
    , target_(target)
{
    new ControlAdaptor(this); // owned by this object; relays StateChanged
}

ControlService::~ControlService()
{
    withdraw();
}

ControlService::Publication ControlService::publish(QDBusConnection bus)
{
    if (!bus.isConnected() || bus.interface() == nullptr)
        return Publication::unavailable;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> owner =
        bus.interface()->registerService(serviceName, QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::DontAllowReplacement);
    if (!owner.isValid())
        return Publication::unavailable;
    if (owner.value() != QDBusConnectionInterface::ServiceRegistered)
        return Publication::nameTaken;
    if (!bus.registerObject(objectPath, this, QDBusConnection::ExportAdaptors)) {
        bus.interface()->unregisterService(serviceName);
        return Publication::unavailable;
    }
    bus_ = bus;
    return Publication::published;
}

void ControlService::withdraw()
{
    if (!bus_)
        return;
    bus_->unregisterObject(objectPath);
    if (bus_->interface() != nullptr)
        bus_->interface()->unregisterService(serviceName);
    bus_.reset();
}

void ControlService::announceStateChange()
{
    Q_EMIT StateChanged(target_.status());
}

QString ControlService::Start()
{
    if (calledFromDBus()) {
        setDelayedReply(true);
        QCoro::Task<void> answering = answerWhenEnded(Work::start, message(), connection());
        Q_UNUSED(answering);
    }
    return QString();
}

QString ControlService::Stop()
{
    if (calledFromDBus()) {
        setDelayedReply(true);
        QCoro::Task<void> answering = answerWhenEnded(Work::stop, message(), connection());
        Q_UNUSED(answering);
    }
    return QString();
}

// Only the copies of the call and the bus are used after the wait: the service may be gone by then.
QCoro::Task<void> ControlService::answerWhenEnded(Work work, QDBusMessage call, QDBusConnection bus)
{
    QDBusMessage reply;
    try {
        QCoro::Task<QString> ending = work == Work::start ? target_.start() : target_.stop();
        const QString folder = co_await std::move(ending);
        reply = call.createReply(folder);
    } catch (...) {
        reply = call.createErrorReply(failedError, describeError(std::current_exception()));
    }
    bus.send(reply);
}

double ControlService::CreateMarker(const QString& label)
{
    const std::optional<double> seconds = target_.createMarker(label);
    if (!seconds) {
        if (calledFromDBus())
            sendErrorReply(notRecordingError, u"Ebbcast is not recording."_s);
        return 0;
    }
    return *seconds;
}

QVariantMap ControlService::Status()
{
    return target_.status();
}

void ControlService::Activate(const QStringList& arguments, const QString& workingDirectory)
{
    target_.activate(arguments, workingDirectory);
}

} // namespace ebbcast
