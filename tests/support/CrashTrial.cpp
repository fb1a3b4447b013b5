#include "support/CrashTrial.h"

#include <QElapsedTimer>
#include <QProcess>

#include <signal.h>

#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>

namespace ebbcast::test {

double recordThenKill(const QStringList& probeArguments, int minimumMilliseconds, int maximumMilliseconds)
{
    static std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> killAfter(minimumMilliseconds, maximumMilliseconds);
    QProcess recorder;
    recorder.start(QString::fromUtf8(EBBCAST_RECORDING_PROBE), probeArguments);
    if (!recorder.waitForReadyRead(15000) || recorder.readLine().trimmed() != "recording")
        throw std::runtime_error("the recording probe did not start: " +
                                 recorder.readAllStandardError().toStdString());
    QElapsedTimer recording;
    recording.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(killAfter(random)));
    ::kill(static_cast<pid_t>(recorder.processId()), SIGKILL);
    const double elapsed = static_cast<double>(recording.elapsed()) / 1000.0;
    recorder.waitForFinished(5000);
    return elapsed;
}

} // namespace ebbcast::test
