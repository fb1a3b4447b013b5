#pragma once

#include "support/TemporaryFolder.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace ebbcast::test {

// A private Xvfb on the first free display number from :200, that the test may take away. Throws
// std::runtime_error when no server comes up.
class PrivateDisplay {
public:
    explicit PrivateDisplay(const QString& screen = QStringLiteral("640x480x24"));
    ~PrivateDisplay();

    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;

    const QString& name() const { return name_; }
    // Ends the server the way a session ends (SIGTERM): its clients lose the connection and it removes its
    // lock.
    void kill();

private:
    QString name_;
    QProcess server_;
};

// A PulseAudio daemon of its own, laid out like the one of scripts/test-services.sh: the null sink
// "ebbcast_speaker" as default output, "ebbcast_microphone" (a remap of the null sink "ebbcast_mic_feed") as
// default input, and a low-latency stream of silence on each sink, so that the monitors deliver in real time
// from the first moment a client records. Throws std::runtime_error when it does not come up.
class PrivateSoundServer {
public:
    PrivateSoundServer();
    ~PrivateSoundServer();

    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // PULSE_SERVER and PULSE_RUNTIME_PATH, for a client of this daemon only.
    QProcessEnvironment clientEnvironment() const;
    // Ends the daemon with SIGKILL, as a crash of the sound server would: every client loses its streams.
    void kill();

private:
    // pactl against this daemon; its standard output, or nothing when it failed.
    std::optional<QByteArray> control(const QStringList& arguments) const;

    TemporaryFolder folder_;
    QString socket_;
    QProcess daemon_;
    std::vector<std::unique_ptr<QProcess>> feeders_;
};

} // namespace ebbcast::test
