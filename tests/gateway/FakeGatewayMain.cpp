// ebbcast_fake_gateway: the strict fake transcription gateway as a process on 127.0.0.1, for tests and
// benchmarks that run the recorder (or curl) against it.
//
//   ebbcast_fake_gateway --token T [--prefix /gw] [--port N] [--port-file F] [--scenario F] [--request-log F]
//                        [--any-boundary] [--connection-limit-ms N] [--reply-delay-ms MIN:MAX]
//
// It listens on --port (a free one by default) and writes the port, once listening, to --port-file (replaced
// whole, so a reader never sees half of it). --request-log gets one JSON object per line for each request
// (see FakeGlossenGateway::toJson). It ends on SIGTERM or SIGINT with status 0 and lists the violations it
// noted on standard error.
//
// --reply-delay-ms MIN:MAX (such as 100:600) holds every answer back (a 400 or 401 for a bad request and a
// scenario's faults too) a random time uniform in [MIN, MAX] ms, counted from the moment the request has
// arrived whole; a crash trial kills its client at random moments that way. Only a request the HTTP server
// cannot read at all (its framing) is refused at once. A request takes effect when it arrives, not when it is
// answered: the upload's job is created, the poll counted and the request-log line written before the delay
// starts, so a client that dies while waiting leaves a job behind that it never heard of. The delay counts
// towards --connection-limit-ms; a scenario's hang still lasts until the connection limit.
//
// curl cannot send a boundary of the recorder's form: run with --any-boundary for it, and send the metadata
// without a filename, e.g.
//   curl -H "Authorization: Bearer T" -F 'metadata=<m.json;type=application/json'
//        -F 'file=@chunk.wav;type=audio/wav' http://127.0.0.1:PORT/gw/v1/ebbcast/sessions/S/chunks
// ("metadata=@m.json" would add filename="m.json", which the gateway refuses).

#include "support/FakeGlossenGateway.h"
#include "support/FakeServerProcess.h"
#include "support/GatewayScenario.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <exception>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;
using ebbcast::test::FakeGlossenGateway;
using ebbcast::test::FakeHttpServer;
using ebbcast::test::say;
using ebbcast::test::serveUntilStopped;

namespace {

// "MIN:MAX" in milliseconds, 0 <= MIN <= MAX.
std::optional<FakeHttpServer::AnswerDelay> answerDelay(const QString& text)
{
    const QStringList bounds = text.split(u':');
    bool minOk = false;
    bool maxOk = false;
    const int minMs = bounds.value(0).toInt(&minOk);
    const int maxMs = bounds.value(1).toInt(&maxOk);
    if (bounds.size() != 2 || !minOk || !maxOk || minMs < 0 || maxMs < minMs)
        return std::nullopt;
    return FakeHttpServer::AnswerDelay{minMs, maxMs};
}

int run(QCoreApplication& application)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(u"The fake transcription gateway on 127.0.0.1."_s);
    parser.addHelpOption();
    const QCommandLineOption token(u"token"_s, u"The bearer token every request must carry."_s, u"token"_s);
    const QCommandLineOption prefix(u"prefix"_s, u"The base URL's path, such as /gw."_s, u"path"_s);
    const QCommandLineOption port(u"port"_s, u"The port to listen on (0: a free one)."_s, u"port"_s, u"0"_s);
    const QCommandLineOption portFile(u"port-file"_s, u"Where to write the port once listening."_s,
                                      u"file"_s);
    const QCommandLineOption scenario(u"scenario"_s, u"A JSON scenario: jobs, artifacts, faults."_s,
                                      u"file"_s);
    const QCommandLineOption requestLog(u"request-log"_s, u"Where to append one JSON line per request."_s,
                                        u"file"_s);
    const QCommandLineOption anyBoundary(
        u"any-boundary"_s, u"Accept any multipart boundary (curl's), not only the recorder's."_s);
    const QCommandLineOption connectionLimit(u"connection-limit-ms"_s,
                                             u"How long a connection may stay open (default 600000)."_s,
                                             u"ms"_s, u"600000"_s);
    const QCommandLineOption replyDelay(
        u"reply-delay-ms"_s, u"Hold every answer back a random time in [MIN, MAX] ms."_s, u"MIN:MAX"_s);
    parser.addOptions(
        {token, prefix, port, portFile, scenario, requestLog, anyBoundary, connectionLimit, replyDelay});
    parser.process(application);

    if (!parser.isSet(token) || parser.value(token).isEmpty()) {
        say(u"ebbcast_fake_gateway: --token is required"_s);
        return 2;
    }
    QString path = parser.value(prefix);
    while (path.endsWith(u'/'))
        path.chop(1);
    if (!path.isEmpty() && !path.startsWith(u'/'))
        path.prepend(u'/');
    bool portOk = false;
    const uint portNumber = parser.value(port).toUInt(&portOk);
    bool limitOk = false;
    const int limitMs = parser.value(connectionLimit).toInt(&limitOk);
    if (!portOk || portNumber > 65535 || !limitOk || limitMs <= 0) {
        say(u"ebbcast_fake_gateway: --port or --connection-limit-ms is not a number"_s);
        return 2;
    }

    std::optional<FakeHttpServer::AnswerDelay> delay;
    if (parser.isSet(replyDelay)) {
        delay = answerDelay(parser.value(replyDelay));
        if (!delay) {
            say(u"ebbcast_fake_gateway: --reply-delay-ms wants MIN:MAX in ms, 0 <= MIN <= MAX"_s);
            return 2;
        }
    }

    FakeHttpServer server(static_cast<quint16>(portNumber));
    server.setConnectionTimeLimitMs(limitMs);
    server.setAnswerDelay(delay);
    FakeGlossenGateway gateway(
        server, {.token = parser.value(token), .prefix = path, .anyBoundary = parser.isSet(anyBoundary)});
    if (parser.isSet(scenario)) {
        QFile file(parser.value(scenario));
        if (!file.open(QIODevice::ReadOnly)) {
            say(u"ebbcast_fake_gateway: cannot read %1: %2"_s.arg(file.fileName(), file.errorString()));
            return 2;
        }
        ebbcast::test::applyGatewayScenario(file.readAll(), gateway);
    }
    QFile log;
    if (parser.isSet(requestLog)) {
        log.setFileName(parser.value(requestLog));
        if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            say(u"ebbcast_fake_gateway: cannot write %1: %2"_s.arg(log.fileName(), log.errorString()));
            return 2;
        }
        gateway.onExchange([&log](const FakeGlossenGateway::Exchange& exchange) {
            log.write(QJsonDocument(FakeGlossenGateway::toJson(exchange)).toJson(QJsonDocument::Compact) +
                      '\n');
        });
    }
    return serveUntilStopped(application, server, u"ebbcast_fake_gateway"_s, parser.value(portFile),
                             gateway.baseUrl());
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    try {
        return run(application);
    } catch (const std::exception& error) {
        say(u"ebbcast_fake_gateway: "_s + QString::fromLocal8Bit(error.what()));
        return 2;
    }
}
