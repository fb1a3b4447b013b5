#pragma once

#include "shell/NotificationBus.h"
#include "support/TemporaryFolder.h"

#include <QJsonObject>
#include <QList>

namespace ebbcast::test {

// tests/shell/FakeLogind.py on a private bus: owns org.freedesktop.login1 once constructed, answers Inhibit
// with a pipe's write end and records when that lock is released (the read end sees end-of-file).
class FakeLogind {
public:
    explicit FakeLogind(const PrivateBus& bus);

    // The events so far, oldest first: {"event": "inhibit", "what", "who", "why", "mode", "lock"} and
    // {"event": "released", "lock"}.
    QList<QJsonObject> events() const;
    // Runs the event loop until `count` events are recorded (or 20 s pass) and returns them.
    QList<QJsonObject> waitForEvents(qsizetype count) const;
    // Has the stand-in send PrepareForShutdown(starting); returns once it was sent.
    void announceShutdown(bool starting) const;

private:
    const PrivateBus& bus_;
    TemporaryFolder folder_;
    QString record_;
    StandInService service_;
};

} // namespace ebbcast::test
