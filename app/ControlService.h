#pragma once

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace ebbcast {

class ControlTarget;

// The running application's control interface, com.tavilon.Ebbcast.Control1 at /com/tavilon/Ebbcast, through
// the adaptor generated from docs/dbus/com.tavilon.Ebbcast.Control1.xml. Start and Stop answer when the
// target's start or stop has ended (the reply is delayed; the call goes on in a coroutine under the event
// loop); a failure is the error com.tavilon.Ebbcast.Error.Failed with its reason, a marker while idle
// com.tavilon.Ebbcast.Error.NotRecording. Main thread.
class ControlService : public QObject, protected QDBusContext {
    Q_OBJECT

public:
    static const QString serviceName;   // com.tavilon.Ebbcast
    static const QString objectPath;    // /com/tavilon/Ebbcast
    static const QString interfaceName; // com.tavilon.Ebbcast.Control1
    static const QString failedError;
    static const QString notRecordingError;

    enum class Publication {
        published,  // this process owns the name now
        nameTaken,  // another process owns it: an application runs already
        unavailable // no bus, or it refused the object or the name
    };

    explicit ControlService(ControlTarget& target, QObject* parent = nullptr);
    ~ControlService() override;

    // Exports the object on `bus` and asks for the name (without queueing: it is either owned now or not).
    Publication publish(QDBusConnection bus);
    // Takes the object and the name off the bus again (before the target goes away).
    void withdraw();

public Q_SLOTS:
    // Sends StateChanged with the target's status.
    void announceStateChange();

    // The interface's methods, called by the adaptor.
    QString Start();
    QString Stop();
    double CreateMarker(const QString& label);
    QVariantMap Status();
    void Activate(const QStringList& arguments, const QString& workingDirectory);

Q_SIGNALS:
    void StateChanged(const QVariantMap& state);

private:
    enum class Work { start, stop };
    // Replies to a delayed call once the target's start or stop has ended.
    QCoro::Task<void> answerWhenEnded(Work work, QDBusMessage call, QDBusConnection bus);

    ControlTarget& target_;
    std::optional<QDBusConnection> bus_; // while published: the object and the name are on it
};

} // namespace ebbcast
