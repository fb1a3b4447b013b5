#include "support/PrivateServers.h"

#include <QDir>
#include <QFile>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

void sleepMilliseconds(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool displayAnswers(const QString& name)
{
    QProcess xdpyinfo;
    xdpyinfo.setStandardOutputFile(QProcess::nullDevice());
    xdpyinfo.setStandardErrorFile(QProcess::nullDevice());
    xdpyinfo.start(u"xdpyinfo"_s, {u"-display"_s, name});
    return xdpyinfo.waitForFinished(10000) && xdpyinfo.exitStatus() == QProcess::NormalExit &&
           xdpyinfo.exitCode() == 0;
}

void endProcess(QProcess& process, int signal)
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(static_cast<pid_t>(process.processId()), signal);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

PrivateDisplay::PrivateDisplay(const QString& screen)
{
    // Xvfb picks a free display number itself (-displayfd) and writes it once it accepts clients: two tests
    // that started at once can never end up on one server, as they could when a number was checked first.
    server_.setStandardErrorFile(QProcess::nullDevice());
    server_.start(u"Xvfb"_s,
                  {u"-displayfd"_s, u"1"_s, u"-screen"_s, u"0"_s, screen, u"-nolisten"_s, u"tcp"_s});
    if (!server_.waitForStarted(5000))
        throw std::runtime_error("Xvfb did not start");
    QByteArray number;
    while (!number.endsWith('\n') && server_.waitForReadyRead(20000))
        number += server_.readAllStandardOutput();
    bool ok = false;
    const int display = number.trimmed().toInt(&ok);
    if (!ok)
        throw std::runtime_error("no private X display came up");
    name_ = u":%1"_s.arg(display);
    for (int i = 0; i < 200 && server_.state() == QProcess::Running; ++i) {
        if (displayAnswers(name_))
            return;
        sleepMilliseconds(50);
    }
    throw std::runtime_error("no private X display came up");
}

PrivateDisplay::~PrivateDisplay()
{
    kill();
}

void PrivateDisplay::kill()
{
    endProcess(server_, SIGTERM);
}

PrivateSoundServer::PrivateSoundServer()
    : socket_(folder_.file(u"runtime/native"_s))
{
    QDir().mkpath(folder_.file(u"runtime"_s));
    QFile::setPermissions(folder_.file(u"runtime"_s),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"PULSE_SERVER"_s);
    // Off the session bus: a second daemon there finds the name org.PulseAudio1 taken and refuses to start.
    environment.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
    environment.insert(u"HOME"_s, folder_.file(u"home"_s));
    environment.insert(u"XDG_CONFIG_HOME"_s, folder_.file(u"home/.config"_s));
    environment.insert(u"XDG_RUNTIME_DIR"_s, folder_.file(u"runtime"_s));
    environment.insert(u"PULSE_RUNTIME_PATH"_s, folder_.file(u"runtime"_s));
    environment.insert(u"PULSE_STATE_PATH"_s, folder_.file(u"state"_s));
    daemon_.setProcessEnvironment(environment);
    daemon_.setStandardOutputFile(QProcess::nullDevice());
    daemon_.setStandardErrorFile(folder_.file(u"pulseaudio.log"_s));
    // No cookie to share: the socket in a private folder is the access control.
    daemon_.start(
        u"pulseaudio"_s,
        {u"--daemonize=no"_s, u"--exit-idle-time=-1"_s, u"--disallow-exit"_s, u"-n"_s, u"--use-pid-file=no"_s,
         u"--log-target=stderr"_s, u"-L"_s,
         u"module-native-protocol-unix auth-anonymous=1 socket="_s + socket_, u"-L"_s,
         u"module-null-sink sink_name=ebbcast_speaker sink_properties=device.description=Test_Speaker"_s,
         u"-L"_s,
         u"module-null-sink sink_name=ebbcast_mic_feed "
         "sink_properties=device.description=Test_Microphone_Feed"_s,
         u"-L"_s,
         u"module-remap-source master=ebbcast_mic_feed.monitor source_name=ebbcast_microphone "
         "source_properties=device.description=Test_Microphone"_s});
    if (!daemon_.waitForStarted(5000))
        throw std::runtime_error("pulseaudio did not start");
    bool ready = false;
    for (int i = 0; i < 200 && !ready && daemon_.state() == QProcess::Running; ++i) {
        ready = control({u"info"_s}).has_value();
        if (!ready)
            sleepMilliseconds(50);
    }
    if (!ready || !control({u"set-default-sink"_s, u"ebbcast_speaker"_s}) ||
        !control({u"set-default-source"_s, u"ebbcast_microphone"_s}))
        throw std::runtime_error("the private PulseAudio daemon did not come up: " +
                                 TemporaryFolder::readAll(folder_.file(u"pulseaudio.log"_s)).toStdString());

    // An idle null sink renders up to 2 s ahead in one burst; a low-latency stream of silence on each keeps
    // its monitor in real time.
    QProcessEnvironment client = QProcessEnvironment::systemEnvironment();
    client.insert(clientEnvironment());
    for (const QString& sink : {u"ebbcast_speaker"_s, u"ebbcast_mic_feed"_s}) {
        auto& feeder = feeders_.emplace_back(std::make_unique<QProcess>());
        feeder->setProcessEnvironment(client);
        feeder->setStandardInputFile(u"/dev/zero"_s);
        feeder->setStandardOutputFile(QProcess::nullDevice());
        feeder->setStandardErrorFile(QProcess::nullDevice());
        feeder->start(u"pacat"_s, {u"--playback"_s, u"--latency-msec=10"_s, u"--raw"_s, u"--format=s16le"_s,
                                   u"--rate=48000"_s, u"--channels=2"_s,
                                   u"--client-name=ebbcast-test-clock"_s, u"-d"_s, sink});
    }
    bool feeding = false;
    for (int i = 0; i < 200 && !feeding; ++i) {
        const auto inputs = control({u"list"_s, u"short"_s, u"sink-inputs"_s});
        feeding = inputs && inputs->count('\n') >= 2;
        if (!feeding)
            sleepMilliseconds(50);
    }
    if (!feeding)
        throw std::runtime_error("the silence feeders did not connect to the private PulseAudio daemon");
    // A new null sink has already rendered 2 s ahead and sleeps until then: wait that out once.
    sleepMilliseconds(2500);
}

PrivateSoundServer::~PrivateSoundServer()
{
    for (auto& feeder : feeders_)
        endProcess(*feeder, SIGTERM);
    kill();
}

QProcessEnvironment PrivateSoundServer::clientEnvironment() const
{
    QProcessEnvironment environment;
    environment.insert(u"PULSE_SERVER"_s, u"unix:"_s + socket_);
    environment.insert(u"PULSE_RUNTIME_PATH"_s, folder_.file(u"runtime"_s));
    return environment;
}

void PrivateSoundServer::kill()
{
    endProcess(daemon_, SIGKILL);
}

std::optional<QByteArray> PrivateSoundServer::control(const QStringList& arguments) const
{
    QProcess pactl;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(clientEnvironment());
    pactl.setProcessEnvironment(environment);
    pactl.start(u"pactl"_s, arguments);
    if (!pactl.waitForFinished(10000) || pactl.exitStatus() != QProcess::NormalExit || pactl.exitCode() != 0)
        return std::nullopt;
    return pactl.readAllStandardOutput();
}

} // namespace ebbcast::test
