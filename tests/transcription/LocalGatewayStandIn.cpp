// A stand-in of the offline gateway for the tests of its launcher, built as "ebbcast-gateway" in a folder of
// its own. It keeps the real program's start contract and nothing of its work:
//
//   ebbcast-gateway --port-file FILE [--idle-exit MINUTES]      the token in EBBCAST_GATEWAY_TOKEN
//
// GET /v1/health answers 200 {"status":"ok","engine":"stand-in","version":"0","pid":N} with "Authorization:
// Bearer <token>", 401 "unauthorized" without; the other routes are the fake gateway's
// (support/FakeGlossenGateway, with the same token, no path prefix), scripted by the scenario file that
// EBBCAST_STAND_IN_SCENARIO names (support/GatewayScenario), if any. Once listening it writes
// FILE whole as "PORT\nPID\n". Beside FILE it appends its PID to "stand-in.starts" at each start, and it
// holds an flock on "stand-in.lock" while it runs: a second one for the same FILE ends at once with status 3
// (the real one's status when another holds its data folder). No token or no FILE: status 2. SIGTERM or
// SIGINT end it with status 0.

#include "support/FakeGlossenGateway.h"
#include "support/FakeHttpServer.h"
#include "support/FakeServerProcess.h"
#include "support/GatewayScenario.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using ebbcast::test::FakeHttpServer;
using ebbcast::test::say;

namespace {

// The health route beside the fake gateway's.
class StandInModel : public FakeHttpServer::Model {
public:
    StandInModel(ebbcast::test::FakeGlossenGateway& gateway, QByteArray token)
        : gateway_(gateway)
        , token_(std::move(token))
    {}

    FakeHttpServer::Response answer(const FakeHttpServer::Request& request) override
    {
        if (request.path != "/v1/health")
            return gateway_.answer(request);
        if (request.header("Authorization") != "Bearer " + token_)
            return {401, R"({"error":"unauthorized"})"};
        const QJsonObject health{{u"status"_s, u"ok"_s},
                                 {u"engine"_s, u"stand-in"_s},
                                 {u"version"_s, u"0"_s},
                                 {u"pid"_s, QCoreApplication::applicationPid()}};
        return {200, QJsonDocument(health).toJson(QJsonDocument::Compact)};
    }

    std::shared_ptr<FakeHttpServer::BodySink> bodySink(const FakeHttpServer::Request& request) override
    {
        return request.path == "/v1/health" ? nullptr : gateway_.bodySink(request);
    }

private:
    ebbcast::test::FakeGlossenGateway& gateway_;
    QByteArray token_;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption portFileOption(u"port-file"_s, u"Where to write PORT and PID."_s, u"file"_s);
    const QCommandLineOption idleExitOption(u"idle-exit"_s, u"Minutes without requests (accepted)."_s,
                                            u"minutes"_s);
    parser.addOptions({portFileOption, idleExitOption});
    parser.process(application);

    const QByteArray token = qgetenv("EBBCAST_GATEWAY_TOKEN");
    const QString portFile = parser.value(portFileOption);
    bool minutesOk = !parser.isSet(idleExitOption);
    if (!minutesOk)
        parser.value(idleExitOption).toUInt(&minutesOk);
    if (token.isEmpty() || portFile.isEmpty() || !minutesOk) {
        say(u"ebbcast-gateway: usage: EBBCAST_GATEWAY_TOKEN=T ebbcast-gateway --port-file FILE "
            u"[--idle-exit MINUTES]"_s);
        return 2;
    }

    const QString folder = QFileInfo(portFile).absolutePath();
    QFile starts(folder + u"/stand-in.starts"_s);
    if (starts.open(QIODevice::WriteOnly | QIODevice::Append))
        starts.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    starts.close();
    const int lock = ::open(QFile::encodeName(folder + u"/stand-in.lock"_s).constData(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        say(u"ebbcast-gateway: the data folder is in use by another ebbcast-gateway"_s);
        return 3;
    }

    FakeHttpServer server;
    ebbcast::test::FakeGlossenGateway gateway(server, {.token = QString::fromUtf8(token)});
    const QString scenario = qEnvironmentVariable("EBBCAST_STAND_IN_SCENARIO");
    if (!scenario.isEmpty()) {
        QFile file(scenario);
        if (!file.open(QIODevice::ReadOnly)) {
            say(u"ebbcast-gateway: cannot read "_s + scenario);
            return 1;
        }
        ebbcast::test::applyGatewayScenario(file.readAll(), gateway);
    }
    StandInModel model(gateway, token);
    server.setModel(model);
    QSaveFile file(portFile);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QByteArray::number(server.port()) + '\n' +
                   QByteArray::number(QCoreApplication::applicationPid()) + '\n') < 0 ||
        !file.commit()) {
        say(u"ebbcast-gateway: cannot write "_s + portFile);
        return 1;
    }
    return ebbcast::test::serveUntilStopped(application, server, u"ebbcast-gateway"_s, {}, server.url());
}
