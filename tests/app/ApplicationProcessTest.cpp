#include "app/RecordingProcess.h"
#include "shell/FakeLogind.h"
#include "shell/NotificationBus.h"
#include "support/DesktopDriver.h"
#include "support/MediaProbe.h"
#include "support/PrivateServers.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QThread>

#include <gtest/gtest.h>

#include <array>
#include <csignal>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

// The application itself, as a user's session starts it: headless recording on sound, the tray with and
// without a tray to show in, and every way it is told to quit.
class ApplicationProcessTest : public RecordingProcessTest {
protected:
    void set(const QString& key, const QString& value)
    {
        const Finished set = runEbbcast({u"settings"_s, u"set"_s, key, value});
        ASSERT_EQ(set.exitCode, 0) << set.err.toStdString();
    }

    // The session folder that records now (it holds the active-recording marker), or nothing.
    QString recordingSession() const
    {
        const QFileInfoList sessions =
            QDir(recordings()).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& session : sessions) {
            if (QFileInfo::exists(session.absoluteFilePath() + u"/.ebbcast_recording_active"_s))
                return session.absoluteFilePath();
        }
        return {};
    }

    static bool waitUntil(const std::function<bool()>& done, int milliseconds)
    {
        QElapsedTimer waited;
        waited.start();
        while (!done() && waited.elapsed() < milliseconds)
            QThread::msleep(50);
        return done();
    }
};

TEST_F(ApplicationProcessTest, HeadlessStartsOnSoundAndEachQuitSignalCompletesTheSession)
{
    set(u"autoStartRecording"_s, u"true"_s);
    set(u"onlyAutoRecordWatchedApps"_s, u"false"_s);
    set(u"clockSyncEnabled"_s, u"false"_s);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        QProcess application;
        configure(application);
        application.start(executable(), {u"--headless"_s});
        ASSERT_TRUE(application.waitForStarted());
        QString session;
        {
            TonePlayer microphone(u"ebbcast_mic_feed"_s, folder_.path(), 60);
            ASSERT_TRUE(waitUntil([&] { return !(session = recordingSession()).isEmpty(); }, 30000))
                << application.readAllStandardError().constData();
            // Quit once the movie holds frames, whatever the machine's speed.
            ASSERT_TRUE(
                waitUntil([&] { return QFileInfo(session + u"/screen.mov"_s).size() > 4096; }, 30000));
        }
        ::kill(static_cast<pid_t>(application.processId()), signal);
        ASSERT_TRUE(application.waitForFinished(60000));
        EXPECT_EQ(application.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(application.exitCode(), 0) << application.readAllStandardError().constData();

        const auto metadata = document(session);
        ASSERT_TRUE(metadata);
        EXPECT_TRUE(metadata->endTime.has_value());
        EXPECT_FALSE(QFileInfo::exists(session + u"/.ebbcast_recording_active"_s));
        EXPECT_TRUE(MediaProbe::decodeVideo(session + u"/screen.mov"_s).decodedFrames > 0);
        EXPECT_TRUE(MediaProbe::decodeAudio(session + u"/microphone.wav"_s).ok);
        EXPECT_TRUE(MediaProbe::decodeAudio(session + u"/system_audio.m4a"_s).ok);
        // The next round starts from silence: wait until the sound has left the monitor's window.
        QThread::msleep(500);
    }
}

TEST_F(ApplicationProcessTest, LogindWaitsForTheCompleteSessionAndItsShutdownQuits)
{
    set(u"autoStartRecording"_s, u"true"_s);
    set(u"clockSyncEnabled"_s, u"false"_s);
    PrivateBus systemBus;
    FakeLogind logind(systemBus);
    QProcessEnvironment environment;
    environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, systemBus.address());
    for (const bool bySignal : {true, false}) {
        SCOPED_TRACE(bySignal ? "SIGTERM" : "shutdown");
        const qsizetype before = logind.events().size();
        QProcess application;
        configure(application, environment);
        application.start(executable(), {u"--headless"_s});
        ASSERT_TRUE(application.waitForStarted());
        QString session;
        {
            TonePlayer microphone(u"ebbcast_mic_feed"_s, folder_.path(), 60);
            ASSERT_TRUE(waitUntil([&] { return !(session = recordingSession()).isEmpty(); }, 30000));
            ASSERT_TRUE(
                waitUntil([&] { return QFileInfo(session + u"/screen.mov"_s).size() > 4096; }, 30000));
        }
        const QList<QJsonObject> taken = logind.waitForEvents(before + 1);
        ASSERT_GT(taken.size(), before);
        EXPECT_EQ(taken.at(before).value(u"event"_s).toString(), u"inhibit"_s);
        EXPECT_EQ(taken.at(before).value(u"mode"_s).toString(), u"delay"_s);

        if (bySignal)
            ::kill(static_cast<pid_t>(application.processId()), SIGTERM);
        else
            logind.announceShutdown(true);
        const QList<QJsonObject> events = logind.waitForEvents(before + 2);
        ASSERT_GT(events.size(), before + 1);
        EXPECT_EQ(events.at(before + 1).value(u"event"_s).toString(), u"released"_s);
        // Released only once the document was complete.
        const auto metadata = document(session);
        ASSERT_TRUE(metadata);
        EXPECT_TRUE(metadata->endTime.has_value());
        // (The fake's event loop may have seen the process end already.)
        ASSERT_TRUE(application.state() == QProcess::NotRunning || application.waitForFinished(60000));
        EXPECT_EQ(application.exitCode(), 0) << application.readAllStandardError().constData();
        EXPECT_FALSE(QFileInfo::exists(session + u"/.ebbcast_recording_active"_s));
        QThread::msleep(500);
    }
}

// Desktop actions, hotkeys and scripts reach the running application through "ebbcast ctl"; a second launch
// hands over to it. On a bus of the test's own, as a desktop session has one.
TEST_F(ApplicationProcessTest, HeadlessAnswersCtlOverTheSessionBusAndASecondLaunchHandsOver)
{
    set(u"clockSyncEnabled"_s, u"false"_s);
    PrivateBus bus;
    QProcessEnvironment environment;
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address());
    const auto ctl = [&](const QStringList& arguments) {
        return runEbbcast(QStringList{u"ctl"_s} + arguments, environment);
    };

    const Finished before = ctl({u"status"_s});
    EXPECT_EQ(before.exitCode, 3);
    EXPECT_EQ(before.err, u"ebbcast: Ebbcast is not running."_s);

    QProcess application;
    configure(application, environment);
    application.start(executable(), {u"--headless"_s});
    ASSERT_TRUE(application.waitForStarted());
    const auto ended = qScopeGuard([&] {
        if (application.state() != QProcess::NotRunning) {
            application.kill();
            application.waitForFinished();
        }
    });
    Finished status;
    ASSERT_TRUE(waitUntil([&] { return (status = ctl({u"status"_s})).exitCode == 0; }, 60000))
        << status.err.toStdString() << application.readAllStandardError().constData();
    EXPECT_TRUE(status.out.startsWith(u"state: idle\n"_s)) << status.out.toStdString();

    const Finished second = runEbbcast({u"--headless"_s}, environment);
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    const QString log = folder_.file(u"state/Tavilon/app.log"_s);
    EXPECT_TRUE(waitUntil([&] { return TemporaryFolder::readAll(log).contains("Another launch of Ebbcast"); },
                          10000));

    // The application, "record" and "recover" share one lock: the later ones are told to use ctl.
    const Finished record = runEbbcast({u"record"_s, u"--duration"_s, u"1"_s}, environment);
    EXPECT_EQ(record.exitCode, 3);
    EXPECT_EQ(record.err, u"ebbcast: Ebbcast is running (pid "_s + QString::number(application.processId()) +
                              u"): 'ebbcast ctl start' records with it."_s);
    const Finished recover = runEbbcast({u"recover"_s}, environment);
    EXPECT_EQ(recover.exitCode, 3);
    EXPECT_TRUE(recover.err.contains(u"repairs interrupted sessions itself at launch"_s))
        << recover.err.toStdString();
    EXPECT_EQ(recordingSession(), QString()) << "neither recorded nor repaired anything";

    // Idle: a stop is done at once, a marker has nothing to go to.
    const Finished idleStop = ctl({u"stop"_s});
    EXPECT_EQ(idleStop.exitCode, 0) << idleStop.err.toStdString();
    EXPECT_EQ(idleStop.out, QString());
    const Finished idleMarker = ctl({u"marker"_s});
    EXPECT_EQ(idleMarker.exitCode, 1);
    EXPECT_EQ(idleMarker.err, u"ebbcast: Ebbcast is not recording."_s);

    // The start answers once the session records; a second start is the same session.
    const Finished started = ctl({u"start"_s});
    ASSERT_EQ(started.exitCode, 0) << started.err.toStdString();
    const QString session = started.out;
    EXPECT_EQ(session, recordingSession());
    EXPECT_EQ(ctl({u"start"_s}).out, session);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(session + u"/screen.mov"_s).size() > 4096; }, 30000));

    const Finished marker = ctl({u"marker"_s, u"Decision taken"_s});
    ASSERT_EQ(marker.exitCode, 0) << marker.err.toStdString();
    EXPECT_GT(marker.out.toDouble(), 0.0) << marker.out.toStdString();
    const Finished json = ctl({u"status"_s, u"--json"_s});
    ASSERT_EQ(json.exitCode, 0) << json.err.toStdString();
    const QJsonObject state = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_EQ(state.value(u"state"_s).toString(), u"recording"_s) << json.out.toStdString();
    EXPECT_EQ(state.value(u"sessionFolder"_s).toString(), session);
    EXPECT_GT(state.value(u"elapsedSeconds"_s).toDouble(), 0.0);

    // The stop answers once the session is saved.
    const Finished stopped = ctl({u"stop"_s});
    ASSERT_EQ(stopped.exitCode, 0) << stopped.err.toStdString();
    EXPECT_EQ(stopped.out, session);
    const auto metadata = document(session);
    ASSERT_TRUE(metadata);
    EXPECT_TRUE(metadata->endTime.has_value());
    ASSERT_EQ(metadata->markers.size(), 1U);
    EXPECT_EQ(metadata->markers.front().label, u"Decision taken"_s);
    EXPECT_FALSE(QFileInfo::exists(session + u"/.ebbcast_recording_active"_s));

    ::kill(static_cast<pid_t>(application.processId()), SIGTERM);
    ASSERT_TRUE(application.waitForFinished(60000));
    EXPECT_EQ(application.exitCode(), 0) << application.readAllStandardError().constData();
    EXPECT_EQ(ctl({u"status"_s}).exitCode, 3) << "the name is free once the application has ended";
}

// Two launches at once make one instance; a killed instance leaves the name to the next one, which repairs
// the session the kill cut short. Its state changes are signals any D-Bus tool sees.
TEST_F(ApplicationProcessTest, OneInstanceFromTwoLaunchesAndAKilledOneLeavesTheNameToTheNext)
{
    set(u"clockSyncEnabled"_s, u"false"_s);
    PrivateBus bus;
    QProcessEnvironment environment;
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address());
    const auto ctl = [&](const QStringList& arguments) {
        return runEbbcast(QStringList{u"ctl"_s} + arguments, environment);
    };
    std::array<QProcess, 2> launches;
    for (QProcess& launch : launches)
        configure(launch, environment);
    const auto ended = qScopeGuard([&] {
        for (QProcess& launch : launches) {
            if (launch.state() != QProcess::NotRunning) {
                launch.kill();
                launch.waitForFinished();
            }
        }
    });
    for (QProcess& launch : launches)
        launch.start(executable(), {u"--headless"_s});
    ASSERT_TRUE(waitUntil([&] { return ctl({u"status"_s}).exitCode == 0; }, 60000));
    // One of them ends: handed over (0) or refused by the lock when both looked before either owned the name
    // (3).
    // (A QProcess learns of its end only while it waits.)
    const auto hasEnded = [](QProcess& launch) {
        launch.waitForFinished(100);
        return launch.state() == QProcess::NotRunning;
    };
    ASSERT_TRUE(waitUntil([&] { return hasEnded(launches[0]) || hasEnded(launches[1]); }, 30000));
    QProcess& loser = launches[0].state() == QProcess::NotRunning ? launches[0] : launches[1];
    QProcess& instance = &loser == &launches[0] ? launches[1] : launches[0];
    loser.waitForFinished();
    EXPECT_TRUE(loser.exitCode() == 0 || loser.exitCode() == 3) << loser.readAllStandardError().constData();
    EXPECT_FALSE(instance.waitForFinished(500)) << "the other one goes on";

    QProcess monitor;
    configure(monitor, environment);
    monitor.start(u"gdbus"_s, {u"monitor"_s, u"--session"_s, u"--dest"_s, u"com.tavilon.Ebbcast"_s});
    ASSERT_TRUE(monitor.waitForStarted());
    QThread::msleep(500);
    const Finished started = ctl({u"start"_s});
    ASSERT_EQ(started.exitCode, 0) << started.err.toStdString();
    const QString session = started.out;
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(session + u"/microphone.wav"_s).size() > 4096; }, 30000));
    // A repair beside the live session leaves it alone.
    const QByteArray liveDocument = TemporaryFolder::readAll(session + u"/metadata.json"_s);
    EXPECT_EQ(runEbbcast({u"recover"_s}, environment).exitCode, 3);
    EXPECT_EQ(TemporaryFolder::readAll(session + u"/metadata.json"_s), liveDocument);
    EXPECT_TRUE(QFileInfo::exists(session + u"/.ebbcast_recording_active"_s));

    QByteArray signalsSeen;
    EXPECT_TRUE(waitUntil(
        [&] {
            monitor.waitForReadyRead(100);
            signalsSeen += monitor.readAllStandardOutput();
            return signalsSeen.contains("StateChanged") && signalsSeen.contains("'recording'");
        },
        10000))
        << signalsSeen.constData();
    monitor.kill();
    monitor.waitForFinished();

    ::kill(static_cast<pid_t>(instance.processId()), SIGKILL);
    ASSERT_TRUE(instance.waitForFinished(10000));
    QProcess next;
    configure(next, environment);
    next.start(executable(), {u"--headless"_s});
    const auto nextEnded = qScopeGuard([&] {
        ::kill(static_cast<pid_t>(next.processId()), SIGTERM);
        next.waitForFinished(60000);
    });
    Finished status;
    ASSERT_TRUE(waitUntil([&] { return (status = ctl({u"status"_s})).exitCode == 0; }, 60000))
        << next.readAllStandardError().constData();
    const auto repaired = document(session);
    ASSERT_TRUE(repaired);
    EXPECT_TRUE(repaired->endTime.has_value()) << "the new instance repaired the session the kill cut short";
    EXPECT_FALSE(QFileInfo::exists(session + u"/.ebbcast_recording_active"_s));
}

TEST_F(ApplicationProcessTest, WithoutATrayTheApplicationSaysSoAndStillQuitsCleanly)
{
    PrivateDisplay display;
    QProcess application;
    QProcessEnvironment environment;
    environment.insert(u"DISPLAY"_s, display.name());
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    configure(application, environment);
    application.start(executable(), {});
    ASSERT_TRUE(application.waitForStarted());
    QByteArray errors;
    ASSERT_TRUE(waitUntil(
        [&] {
            application.waitForReadyRead(100);
            errors += application.readAllStandardError();
            return errors.contains("No system tray appeared");
        },
        40000))
        << errors.constData();
    EXPECT_TRUE(errors.contains("keeps running")) << errors.constData();
    EXPECT_TRUE(errors.contains("ebbcast --headless")) << errors.constData();
    ::kill(static_cast<pid_t>(application.processId()), SIGTERM);
    ASSERT_TRUE(application.waitForFinished(30000));
    EXPECT_EQ(application.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(application.exitCode(), 0);
}

TEST_F(ApplicationProcessTest, UnderATrayTheMenuStartsAndQuitsAndASecondApplicationHandsOver)
{
    set(u"clockSyncEnabled"_s, u"false"_s);
    PrivateDisplay display(u"640x480x24"_s);
    PrivateBus bus;
    QProcessEnvironment environment;
    environment.insert(u"DISPLAY"_s, display.name());
    environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.address());
    QProcess tray;
    QProcessEnvironment trayEnvironment = QProcessEnvironment::systemEnvironment();
    trayEnvironment.insert(u"DISPLAY"_s, display.name());
    tray.setProcessEnvironment(trayEnvironment);
    tray.start(u"trayer"_s, {u"--edge"_s, u"top"_s, u"--SetDockType"_s, u"true"_s});
    ASSERT_TRUE(tray.waitForStarted());

    QProcess application;
    configure(application, environment);
    application.start(executable(), {});
    ASSERT_TRUE(application.waitForStarted());
    const QString log = folder_.file(u"state/Tavilon/app.log"_s);
    ASSERT_TRUE(waitUntil([&] { return TemporaryFolder::readAll(log).contains("Ebbcast started"); }, 30000));

    const Finished second = [&] {
        QProcess process;
        configure(process, environment);
        process.start(executable(), {});
        EXPECT_TRUE(process.waitForFinished(30000));
        return Finished{process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
                        QString::fromLocal8Bit(process.readAllStandardError())};
    }();
    // On the session bus the running application takes the launch over; without one the lock refuses it.
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    QProcessEnvironment noBus = environment;
    noBus.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent/bus"_s);
    const Finished withoutBus = runEbbcast({u"--headless"_s}, noBus);
    EXPECT_EQ(withoutBus.exitCode, 3);
    EXPECT_TRUE(withoutBus.err.contains(u"already running"_s)) << withoutBus.err.toStdString();

    // The launch without a command brought the dashboard forward; Escape puts it away again.
    const TrayMenu menu(display.name());
    const QString dashboard = menu.window(u"Ebbcast"_s);
    ASSERT_FALSE(dashboard.isEmpty()) << "the hand-over shows the dashboard";
    menu.press(dashboard, u"Escape"_s);
    ASSERT_TRUE(waitUntil([&] { return menu.window(u"Ebbcast"_s, 0).isEmpty(); }, 10000));

    // Open Ebbcast, Show Mini Controller, (the overlay switch is off while idle), Start Recording.
    menu.choose({u"Down"_s, u"Down"_s, u"Down"_s});
    QString session;
    ASSERT_TRUE(waitUntil([&] { return !(session = recordingSession()).isEmpty(); }, 30000))
        << TemporaryFolder::readAll(log).constData();
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(session + u"/screen.mov"_s).size() > 4096; }, 30000));
    menu.choose({u"Up"_s}); // Quit
    ASSERT_TRUE(application.waitForFinished(60000));
    EXPECT_EQ(application.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(application.exitCode(), 0);
    const QByteArray errors = application.readAllStandardError();
    EXPECT_FALSE(errors.contains("No system tray")) << "trayer holds the icon";
    const auto metadata = document(session);
    ASSERT_TRUE(metadata);
    EXPECT_TRUE(metadata->endTime.has_value());
    EXPECT_FALSE(QFileInfo::exists(session + u"/.ebbcast_recording_active"_s));
    EXPECT_TRUE(TemporaryFolder::readAll(log).contains("Quit requested: menu"));
    tray.kill();
    tray.waitForFinished();
}

} // namespace
} // namespace ebbcast::test
