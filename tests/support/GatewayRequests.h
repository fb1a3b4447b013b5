#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QUuid>

#include <utility>

namespace ebbcast::test {

// Hand-made requests for the fake gateway's tests: every byte as the test writes it.

// A chunk upload's body, built part by part so that a test can break any of it.
struct HandMadeUpload {
    QByteArray boundary =
        "Boundary-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    QJsonObject metadata{
        {QStringLiteral("recorder_id"), QStringLiteral("rec-1")},
        {QStringLiteral("recorder_name"), QStringLiteral("Studio")},
        {QStringLiteral("session_id"), QStringLiteral("session-1")},
        {QStringLiteral("recording_name"),
         QStringLiteral("Morning \"take\", {1} [a] \\ \"chunk_index\": 3.5")},
        {QStringLiteral("thread_key"), QStringLiteral("session-1-microphone")},
        {QStringLiteral("chunk_index"), 3},
        {QStringLiteral("chunk_kind"), QStringLiteral("microphone")},
        {QStringLiteral("chunk_start_time"), QStringLiteral("2024-05-01T10:00:00Z")},
        {QStringLiteral("chunk_end_time"), QStringLiteral("2024-05-01T10:05:00Z")},
        {QStringLiteral("chunk_duration"), 300.5},
        {QStringLiteral("chunk_timecode_start"), QStringLiteral("00:15:00.000")},
        {QStringLiteral("clock_offset_ms"), -12.25},
        {QStringLiteral("local_file_name"), QStringLiteral("mic-0003.wav")},
    };
    QByteArray metadataJson{}; // used instead of `metadata` when set
    QByteArray metadataHeaders = "Content-Disposition: form-data; name=\"metadata\"\r\n"
                                 "Content-Type: application/json\r\n";
    QByteArray fileHeaders = "Content-Disposition: form-data; name=\"file\"; filename=\"mic-0003.wav\"\r\n"
                             "Content-Type: audio/wav\r\n";
    // Holds a NUL and the start of a delimiter that is not one.
    QByteArray file = QByteArrayLiteral("RIFF\x24\x00\x00\x00WAVEfmt \r\n--Boundary-not-quite\r\n-");
    bool swapParts = false;
    QByteArray ending{}; // replaces the closing "\r\n--boundary--\r\n" when set

    QByteArray metadataPart() const
    {
        const QByteArray json =
            metadataJson.isEmpty() ? QJsonDocument(metadata).toJson(QJsonDocument::Compact) : metadataJson;
        return "--" + boundary + "\r\n" + metadataHeaders + "\r\n" + json + "\r\n";
    }
    QByteArray filePart() const { return "--" + boundary + "\r\n" + fileHeaders + "\r\n" + file; }
    QByteArray body() const
    {
        QByteArray close = ending;
        if (close.isNull())
            close = "\r\n--" + boundary + "--\r\n";
        if (swapParts)
            return filePart() + "\r\n" + metadataPart().chopped(2) + close;
        return metadataPart() + filePart() + close;
    }
    QByteArray contentType() const { return "multipart/form-data; boundary=" + boundary; }
};

struct RawAnswer {
    int status = 0;
    QByteArray head;
    QByteArray body;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QByteArray header(const QByteArray& name) const
    {
        for (const QByteArray& line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
                return line.mid(colon + 1).trimmed();
        }
        return {};
    }
};

// Sends one request as written (a Host header and, with a body or for a POST, a Content-Length are added)
// and reads the answer until the server closes.
inline RawAnswer sendRaw(quint16 port, const QByteArray& method, const QByteArray& target,
                         const QList<std::pair<QByteArray, QByteArray>>& headers, const QByteArray& body = {})
{
    QByteArray request =
        method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    for (const auto& [name, value] : headers)
        request += name + ": " + value + "\r\n";
    if (!body.isEmpty() || method == "POST")
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    request += "\r\n" + body;

    QTcpSocket socket;
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    socket.write(request);
    if (socket.state() != QAbstractSocket::UnconnectedState)
        closed.wait(10000);
    const QByteArray answer = socket.readAll();
    RawAnswer parsed;
    const qsizetype headEnd = answer.indexOf("\r\n\r\n");
    parsed.head = answer.left(headEnd);
    parsed.body = headEnd < 0 ? QByteArray() : answer.mid(headEnd + 4);
    parsed.status = answer.mid(9, 3).toInt();
    return parsed;
}

} // namespace ebbcast::test
