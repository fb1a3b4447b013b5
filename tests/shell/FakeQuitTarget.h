#pragma once

#include "shell/QuitTarget.h"

#include <QCoro/QCoroSignal>
#include <QObject>
#include <QStringList>

#include <functional>
#include <stdexcept>

namespace ebbcast::test {

// A scripted application for the quit coordinator: idle, recording or starting; its stop ends when the test
// says (finishStop()), fails, or never ends until then. What happens is appended to `events` ("stop begun",
// "stop ended", "teardown"), so the order can be compared with the exit calls the test adds.
class FakeQuitTarget : public QObject, public QuitTarget {
    Q_OBJECT

public:
    enum class Mode { idle, recording, starting };

    explicit FakeQuitTarget(QStringList& events, Mode mode = Mode::idle)
        : events_(events)
        , mode_(mode)
    {}

    bool isRecordingOrTransitioning() const override { return mode_ != Mode::idle; }

    QCoro::Task<void> stopForQuit() override
    {
        ++stops_;
        events_.append(QStringLiteral("stop begun"));
        if (!stopFinished_) {
            auto finished = qCoro(this, &FakeQuitTarget::stopFinished);
            co_await finished;
        }
        if (failStop_)
            throw std::runtime_error("the microphone file could not be closed");
        if (onStopped)
            onStopped();
        events_.append(QStringLiteral("stop ended"));
        mode_ = Mode::idle;
    }

    void tearDown() override { events_.append(QStringLiteral("teardown")); }

    void finishStop()
    {
        stopFinished_ = true;
        Q_EMIT stopFinished();
    }
    void failStop()
    {
        failStop_ = true;
        finishStop();
    }
    int stops() const { return stops_; }

    // Runs when the stop completes, as the application's completion of the session document does.
    std::function<void()> onStopped;

Q_SIGNALS:
    void stopFinished();

private:
    QStringList& events_;
    Mode mode_;
    bool stopFinished_ = false;
    bool failStop_ = false;
    int stops_ = 0;
};

} // namespace ebbcast::test
