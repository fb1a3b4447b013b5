#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace ebbcast::test {

// One ebbcast-gateway (or the scripted stand-in) as a child process on 127.0.0.1, with its data folder and
// port file in folders the test owns. The destructor ends it (SIGTERM, then SIGKILL).
class GatewayProcess {
public:
    struct Options {
        QString program;
        QString dataDirectory;
        QString portFile;
        QByteArray token;
        QStringList arguments; // besides --data-dir and --port-file
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    };

    explicit GatewayProcess(Options options);
    ~GatewayProcess();

    // Starts it and waits (up to 60 s, for a loaded machine) until its port file names it. False when it
    // exited or never wrote the file; standardError() then says why.
    bool start();
    quint16 port() const noexcept { return port_; }
    qint64 pid() const;
    bool running() const;

    // SIGTERM and wait; the exit status, or -1 when it did not end within `timeoutMs`.
    int terminate(int timeoutMs = 10'000);
    void kill();
    // Waits for an exit that comes by itself (a crash, the idle exit); the status or -1.
    int waitForExit(int timeoutMs);
    int exitCode() const;
    QByteArray standardError();

private:
    Options options_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
};

// One HTTP/1.1 exchange over a plain socket, "Connection: close", so a test can send anything at all.
struct RawReply {
    bool received = false; // a status line arrived
    int status = 0;
    QByteArray headers;
    QByteArray body;
};
RawReply rawExchange(quint16 port, const QByteArray& request, int timeoutMs = 30'000);

// A GET with the bearer token (or none when `token` is empty).
QByteArray getRequest(const QByteArray& target, const QByteArray& token);

// A chunk upload as the recorder's client sends it; `parts` lets a test reorder, drop or add parts.
struct UploadPart {
    QByteArray name;
    QByteArray fileName; // empty: no filename attribute
    QByteArray contentType;
    QByteArray body;
};
QByteArray uploadRequest(const QByteArray& sessionID, const QByteArray& token,
                         const QList<UploadPart>& parts);
QList<UploadPart> chunkParts(const QJsonObject& metadata, const QByteArray& audio,
                             const QByteArray& fileName);
// Valid metadata of one chunk.
QJsonObject chunkMetadata(const QString& sessionID, const QString& kind, int index);

// A short WAV of a tone, 32-bit float at 48 kHz as the microphone recorder writes it, made with sox;
// `frequency` and `seconds` make each one different.
QByteArray toneWav(double frequency, double seconds);

} // namespace ebbcast::test
