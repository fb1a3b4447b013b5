#include "shell/FakeLogind.h"

#include "support/TimingScale.h"

#include <QDBusMessage>
#include <QTest>

#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

// Generous: a cold, loaded machine takes seconds to start python and its D-Bus modules.
int deadlineMilliseconds()
{
    return static_cast<int>(20000 * timingScale());
}

} // namespace

FakeLogind::FakeLogind(const PrivateBus& bus)
    : bus_(bus)
    , record_(folder_.file(u"events.jsonl"_s))
    , service_(bus, u"org.freedesktop.login1"_s,
               {QStringLiteral(EBBCAST_FAKE_LOGIND), u"--address"_s, bus.address(), u"--record"_s, record_},
               folder_.file(u"logind.log"_s))
{}

QList<QJsonObject> FakeLogind::events() const
{
    return readRecord(record_);
}

QList<QJsonObject> FakeLogind::waitForEvents(qsizetype count) const
{
    // The caller compares the count.
    static_cast<void>(QTest::qWaitFor([&] { return events().size() >= count; }, deadlineMilliseconds()));
    return events();
}

void FakeLogind::announceShutdown(bool starting) const
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(u"org.freedesktop.login1"_s, u"/org/freedesktop/login1"_s,
                                       u"org.ebbcast.test.FakeLogind"_s, u"EmitPrepareForShutdown"_s);
    call << starting;
    const QDBusMessage reply = bus_.connection().call(call, QDBus::Block, deadlineMilliseconds());
    if (reply.type() != QDBusMessage::ReplyMessage)
        throw std::runtime_error("the stand-in logind did not announce the shutdown: " +
                                 reply.errorMessage().toStdString());
}

} // namespace ebbcast::test
