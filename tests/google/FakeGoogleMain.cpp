// ebbcast_fake_google: the strict fake Google services as a process on 127.0.0.1, for tests and benchmarks
// that run ebbcast (or curl) against them: OAuth (FakeGoogleOAuth) and Drive (FakeGoogleDrive, which
// accepts the access tokens the OAuth fake issued):
//
//   ebbcast_fake_google [--port N] [--port-file F] [--client-id ID] [--client-secret S] [--token-lifetime
//   SEC]
//                       [--refuse-consent] [--connection-limit-ms N] [--hash-only]
//
//   GET  /o/oauth2/v2/auth   the consent page (302 back to the loopback callback)
//   POST /token              code exchange and refresh
//   /drive/v3/..., /upload/drive/v3/...   Drive (search, folders, uploads, metadata, about)
//
// --hash-only: resumable uploads are hashed as they arrive and never written (benchmarks of large files).
//
// It listens on --port (a free one by default) and writes the port, once listening, to --port-file (replaced
// whole, so a reader never sees half of it). It ends on SIGTERM or SIGINT with status 0 and lists the
// violations it noted and then every file Drive holds ("file SIZE SHA256 NAME") on standard error.

#include "support/FakeGoogleDrive.h"
#include "support/FakeGoogleOAuth.h"
#include "support/FakeServerProcess.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <exception>
#include <memory>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;
using ebbcast::test::FakeGoogleDrive;
using ebbcast::test::FakeGoogleOAuth;
using ebbcast::test::FakeHttpServer;
using ebbcast::test::say;
using ebbcast::test::serveUntilStopped;

namespace {

// Sends each request to the first service whose path prefix it has; 404 for the rest.
class FakeGoogleRouter : public FakeHttpServer::Model {
public:
    explicit FakeGoogleRouter(FakeHttpServer& server)
        : server_(server)
    {}
    void add(QByteArray pathPrefix, FakeHttpServer::Model& model)
    {
        routes_.emplace_back(std::move(pathPrefix), &model);
    }

    FakeHttpServer::Response answer(const FakeHttpServer::Request& request) override
    {
        for (const auto& [prefix, model] : routes_) {
            if (request.path.startsWith(prefix))
                return model->answer(request);
        }
        server_.flag(u"no route for "_s + QString::fromLatin1(request.path));
        return {404, "not found", "text/plain"};
    }
    std::shared_ptr<FakeHttpServer::BodySink> bodySink(const FakeHttpServer::Request& request) override
    {
        for (const auto& [prefix, model] : routes_) {
            if (request.path.startsWith(prefix))
                return model->bodySink(request);
        }
        return nullptr;
    }

private:
    FakeHttpServer& server_;
    std::vector<std::pair<QByteArray, FakeHttpServer::Model*>> routes_;
};

int run(QCoreApplication& application)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(u"The fake Google services on 127.0.0.1."_s);
    parser.addHelpOption();
    const QCommandLineOption port(u"port"_s, u"The port to listen on (0: a free one)."_s, u"port"_s, u"0"_s);
    const QCommandLineOption portFile(u"port-file"_s, u"Where to write the port once listening."_s,
                                      u"file"_s);
    const QCommandLineOption clientID(u"client-id"_s, u"The OAuth client ID to expect."_s, u"id"_s);
    const QCommandLineOption clientSecret(u"client-secret"_s, u"The client secret to expect (\"\": none)."_s,
                                          u"secret"_s);
    const QCommandLineOption lifetime(u"token-lifetime"_s, u"Seconds an access token lives (3599)."_s,
                                      u"seconds"_s, u"3599"_s);
    const QCommandLineOption refuse(u"refuse-consent"_s, u"The user refuses on the consent page."_s);
    const QCommandLineOption connectionLimit(u"connection-limit-ms"_s,
                                             u"How long a connection may stay open (default 600000)."_s,
                                             u"ms"_s, u"600000"_s);
    const QCommandLineOption hashOnly(u"hash-only"_s, u"Hash resumable uploads, write nothing."_s);
    parser.addOptions({port, portFile, clientID, clientSecret, lifetime, refuse, connectionLimit, hashOnly});
    parser.process(application);

    bool portOk = false;
    const uint portNumber = parser.value(port).toUInt(&portOk);
    bool limitOk = false;
    const int limitMs = parser.value(connectionLimit).toInt(&limitOk);
    bool lifetimeOk = false;
    const qint64 lifetimeSeconds = parser.value(lifetime).toLongLong(&lifetimeOk);
    if (!portOk || portNumber > 65535 || !limitOk || limitMs <= 0 || !lifetimeOk || lifetimeSeconds < 0) {
        say(u"ebbcast_fake_google: --port, --token-lifetime or --connection-limit-ms is not a number"_s);
        return 2;
    }

    FakeHttpServer server(static_cast<quint16>(portNumber));
    server.setConnectionTimeLimitMs(limitMs);
    FakeGoogleOAuth::Config config;
    if (parser.isSet(clientID))
        config.clientID = parser.value(clientID);
    if (parser.isSet(clientSecret))
        config.clientSecret = parser.value(clientSecret);
    config.accessTokenLifetimeSeconds = lifetimeSeconds;
    FakeGoogleOAuth oauth(server, config);
    oauth.setUserRefuses(parser.isSet(refuse));
    FakeGoogleDrive::Config driveConfig;
    driveConfig.hashOnly = parser.isSet(hashOnly);
    driveConfig.issuedToken = [&oauth](const QString& token) {
        return oauth.isValidAccessToken(token);
    };
    FakeGoogleDrive drive(server, driveConfig);
    FakeGoogleRouter router(server);
    router.add("/o/oauth2/", oauth);
    router.add("/token", oauth);
    router.add("/drive/", drive);
    router.add("/upload/", drive);
    server.setModel(router);

    const int status = serveUntilStopped(application, server, u"ebbcast_fake_google"_s, parser.value(portFile),
                                         server.url());
    // What Drive holds, one line a file, for scripts that check what arrived.
    for (const FakeGoogleDrive::Item& item : drive.items()) {
        if (item.mimeType != u"application/vnd.google-apps.folder"_s)
            say(u"file %1 %2 %3"_s.arg(QString::number(item.size), QString::fromLatin1(item.sha256), item.name));
    }
    return status;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    try {
        return run(application);
    } catch (const std::exception& error) {
        say(u"ebbcast_fake_google: "_s + QString::fromLocal8Bit(error.what()));
        return 2;
    }
}
