#include "gateway/GatewayProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

using namespace Qt::StringLiterals;

namespace ebbcast::test {

GatewayProcess::GatewayProcess(Options options)
    : options_(std::move(options))
{}

GatewayProcess::~GatewayProcess()
{
    if (running() && terminate(5'000) < 0)
        kill();
}

bool GatewayProcess::start()
{
    QFile::remove(options_.portFile);
    process_ = std::make_unique<QProcess>();
    QProcessEnvironment environment = options_.environment;
    environment.insert(u"EBBCAST_GATEWAY_TOKEN"_s, QString::fromUtf8(options_.token));
    process_->setProcessEnvironment(environment);
    process_->setProgram(options_.program);
    process_->setArguments(
        QStringList{u"--data-dir"_s, options_.dataDirectory, u"--port-file"_s, options_.portFile} +
        options_.arguments);
    process_->start();
    if (!process_->waitForStarted(30'000))
        return false;
    const QDeadlineTimer deadline(60'000);
    while (!deadline.hasExpired()) {
        QFile file(options_.portFile);
        if (file.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> lines = file.readAll().split('\n');
            if (lines.size() >= 2 && lines[1].toLongLong() == process_->processId()) {
                port_ = static_cast<quint16>(lines[0].toUInt());
                return port_ != 0;
            }
        }
        if (process_->waitForFinished(50))
            return false;
    }
    return false;
}

qint64 GatewayProcess::pid() const
{
    return process_ ? process_->processId() : 0;
}

bool GatewayProcess::running() const
{
    return process_ && process_->state() != QProcess::NotRunning;
}

int GatewayProcess::terminate(int timeoutMs)
{
    if (!running())
        return process_ ? process_->exitCode() : -1;
    ::kill(static_cast<pid_t>(process_->processId()), SIGTERM);
    return waitForExit(timeoutMs);
}

void GatewayProcess::kill()
{
    if (!running())
        return;
    process_->kill();
    process_->waitForFinished(10'000);
}

int GatewayProcess::waitForExit(int timeoutMs)
{
    if (running() && !process_->waitForFinished(timeoutMs))
        return -1;
    return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : 128 + SIGKILL;
}

int GatewayProcess::exitCode() const
{
    return process_ ? process_->exitCode() : -1;
}

QByteArray GatewayProcess::standardError()
{
    return process_ ? process_->readAllStandardError() : QByteArray();
}

RawReply rawExchange(quint16 port, const QByteArray& request, int timeoutMs)
{
    RawReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return reply;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray received;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        qsizetype sent = 0;
        while (sent < request.size()) {
            const ssize_t n = ::send(fd, request.constData() + sent,
                                     static_cast<size_t>(request.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break; // the server may answer and close before the whole body went out
            sent += n;
        }
        const QDeadlineTimer deadline(timeoutMs);
        char buffer[65536];
        while (!deadline.hasExpired()) {
            pollfd watch{fd, POLLIN, 0};
            if (::poll(&watch, 1, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000))) <= 0)
                continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            received.append(buffer, n);
        }
    }
    ::close(fd);
    const qsizetype headerEnd = received.indexOf("\r\n\r\n");
    if (!received.startsWith("HTTP/1.1 ") || headerEnd < 0)
        return reply;
    reply.received = true;
    reply.status = received.mid(9, 3).toInt();
    reply.headers = received.left(headerEnd);
    reply.body = received.mid(headerEnd + 4);
    return reply;
}

QByteArray getRequest(const QByteArray& target, const QByteArray& token)
{
    QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!token.isEmpty())
        request += "Authorization: Bearer " + token + "\r\n";
    return request + "\r\n";
}

QByteArray uploadRequest(const QByteArray& sessionID, const QByteArray& token, const QList<UploadPart>& parts)
{
    const QByteArray boundary = "Boundary-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
    QByteArray body;
    for (const UploadPart& part : parts) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
        if (!part.fileName.isEmpty())
            body += "; filename=\"" + part.fileName + "\"";
        body += "\r\nContent-Type: " + part.contentType + "\r\n\r\n" + part.body + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    QByteArray request = "POST /v1/ebbcast/sessions/" + sessionID +
                         "/chunks HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                         "Content-Type: multipart/form-data; boundary=" +
                         boundary + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (!token.isEmpty())
        request += "Authorization: Bearer " + token + "\r\n";
    return request + "\r\n" + body;
}

QList<UploadPart> chunkParts(const QJsonObject& metadata, const QByteArray& audio, const QByteArray& fileName)
{
    return {
        {"metadata", {}, "application/json", QJsonDocument(metadata).toJson(QJsonDocument::Compact)},
        {"file", fileName, fileName.endsWith(".m4a") ? "audio/mp4" : "audio/wav", audio},
    };
}

QJsonObject chunkMetadata(const QString& sessionID, const QString& kind, int index)
{
    return QJsonObject{
        {u"recorder_id"_s, u"recorder-1"_s},
        {u"recorder_name"_s, u"Test desk"_s},
        {u"session_id"_s, sessionID},
        {u"recording_name"_s, u"Planning"_s},
        {u"thread_key"_s, u"thread-1"_s},
        {u"chunk_index"_s, index},
        {u"chunk_kind"_s, kind},
        {u"chunk_start_time"_s, u"2026-12-10T10:00:00Z"_s},
        {u"chunk_end_time"_s, u"2026-12-10T10:05:00Z"_s},
        {u"chunk_duration"_s, 300.0},
        {u"chunk_timecode_start"_s, u"00:00:00.000"_s},
        {u"local_file_name"_s, u"%1_%2.wav"_s.arg(kind).arg(index, 4, 10, QChar(u'0'))},
    };
}

QByteArray toneWav(double frequency, double seconds)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(u"tone.wav"_s);
    QProcess sox;
    sox.start(u"sox"_s,
              {u"-n"_s, u"-r"_s, u"48000"_s, u"-c"_s, u"1"_s, u"-e"_s, u"floating-point"_s, u"-b"_s, u"32"_s,
               path, u"synth"_s, QString::number(seconds), u"sine"_s, QString::number(frequency)});
    sox.waitForFinished(30'000);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace ebbcast::test
