#include "transcription/LocalGatewayLauncher.h"

#include "core/base/Logger.h"
#include "support/FakeHttpServer.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "transcription/GatewayTestSupport.h"
#include "transcription/GlossenGatewayClient.h"
#include "transcription/GlossenGatewayError.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <set>
#include <string>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using Options = LocalGatewayLauncher::Options;

constexpr int patienceMs = 30'000; // bounds of waits that normally end within a second

struct PortFile {
    int port = 0;
    qint64 pid = 0;
};

bool isRunning(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (pid < 1 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && close + 2 < text.size() && text.at(close + 2) != 'Z';
}

QByteArray procFile(qint64 pid, const char* entry)
{
    return test::TemporaryFolder::readAll(u"/proc/%1/%2"_s.arg(pid).arg(QString::fromLatin1(entry)));
}

int modeOf(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? static_cast<int>(info.st_mode & 07777)
                                                                   : -1;
}

void writeScript(const QString& path, const QByteArray& body)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    test::TemporaryFolder::writeAll(path, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// The launcher against a given program in a runtime folder of the test's own. Every gateway the test
// started is ended afterwards.
class LocalGatewayTest : public ::testing::Test {
protected:
    LocalGatewayTest()
    {
        // A real gateway keeps its data under XDG_STATE_HOME: each test has its own.
        qputenv("XDG_STATE_HOME", folder_.file(u"state"_s).toLocal8Bit());
        QDir().mkpath(runtime());
        QFile::setPermissions(runtime(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    ~LocalGatewayTest() override
    {
        network_.clearConnectionCache(); // a gateway may wait for open connections when it ends
        if (const auto file = portFile())
            pids_.insert(file->pid);
        for (const QByteArray& line :
             test::TemporaryFolder::readAll(gatewayFolder() + u"/stand-in.starts"_s).split('\n'))
            pids_.insert(line.toLongLong());
        for (const QString& name : QDir(folder_.path()).entryList({u"*.pid"_s}, QDir::Files))
            pids_.insert(test::TemporaryFolder::readAll(folder_.file(name)).trimmed().toLongLong());
        for (const qint64 pid : pids_) {
            if (isRunning(pid))
                ::kill(static_cast<pid_t>(pid), SIGTERM);
        }
        for (const qint64 pid : pids_) {
            if (!QTest::qWaitFor([pid] { return !isRunning(pid); }, 5000) && isRunning(pid))
                ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }

    QString runtime() const { return folder_.file(u"runtime"_s); }
    QString gatewayFolder() const { return runtime() + u"/ebbcast-gateway"_s; }

    std::unique_ptr<LocalGatewayLauncher> launcher(const QString& program, Options options = {})
    {
        return std::make_unique<LocalGatewayLauncher>(
            runtime(), program, [this](const QString& token) { stored_.append(token); }, network_, logger_,
            options);
    }

    std::optional<PortFile> portFile() const
    {
        const QList<QByteArray> lines =
            test::TemporaryFolder::readAll(gatewayFolder() + u"/port"_s).split('\n');
        if (lines.size() < 2)
            return std::nullopt;
        return PortFile{lines.at(0).toInt(), lines.at(1).toLongLong()};
    }

    // The status of GET /v1/health at `baseURL` with `token`.
    int health(const QString& baseURL, const QString& token)
    {
        QNetworkRequest request(QUrl(baseURL).resolved(QUrl(u"v1/health"_s)));
        request.setRawHeader("Authorization", "Bearer " + token.toLatin1());
        request.setRawHeader("Connection", "close");
        std::unique_ptr<QNetworkReply> reply(network_.get(request));
        EXPECT_TRUE(QTest::qWaitFor([&reply] { return reply->isFinished(); }, patienceMs));
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }

    QString log()
    {
        logger_.flush();
        return QString::fromUtf8(test::TemporaryFolder::readAll(logPath()));
    }

    int starts() { return static_cast<int>(log().count(u"Started the local transcription gateway"_s)); }

    QString logPath() const { return folder_.file(u"launcher.log"_s); }

    static GlossenGatewaySettings local(const QString& token) { return {u"local"_s, token}; }

    test::TemporaryFolder folder_;
    Logger logger_{logPath()};
    QNetworkAccessManager network_;
    QStringList stored_; // what the token sink was given
    std::set<qint64> pids_;
};

// What any ebbcast-gateway must do with the launcher: the tests run with each program of programs().
class LocalGatewayProgramTest : public LocalGatewayTest, public ::testing::WithParamInterface<QString> {
protected:
    static QString program() { return GetParam(); }

    // Starts one more process that resolves "local" with `token` (its log: other-<number>.log).
    QProcess* resolveElsewhere(const QString& token, int number)
    {
        auto* process = new QProcess;
        process->start(QString::fromUtf8(EBBCAST_LOCAL_GATEWAY_RESOLVE),
                       {runtime(), program(), token, folder_.file(u"other-%1.log"_s.arg(number))});
        return process;
    }

    // The base URL the process printed.
    QString finished(QProcess& process)
    {
        EXPECT_TRUE(process.waitForFinished(patienceMs));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    int startsElsewhere(int number)
    {
        return static_cast<int>(test::TemporaryFolder::readAll(folder_.file(u"other-%1.log"_s.arg(number)))
                                    .count("Started the local"));
    }
};

TEST_P(LocalGatewayProgramTest, OneStartServesEveryCallLauncherAndProcess)
{
    auto first = launcher(program());
    // Three calls at once, before any gateway runs, share one start.
    auto a = first->resolve(local(u"token-a"_s));
    auto b = first->resolve(local(u" token-a "_s));
    auto c = first->resolve({u" LOCAL "_s, u"token-a"_s});
    const GlossenGatewaySettings resolved = test::runTask(std::move(a));
    EXPECT_EQ(test::runTask(std::move(b)).baseURL, resolved.baseURL);
    EXPECT_EQ(test::runTask(std::move(c)).baseURL, resolved.baseURL);
    EXPECT_EQ(starts(), 1) << log().toStdString();
    EXPECT_TRUE(QRegularExpression(u"^http://127\\.0\\.0\\.1:\\d+/$"_s).match(resolved.baseURL).hasMatch())
        << resolved.baseURL.toStdString();
    EXPECT_EQ(resolved.token, u"token-a"_s);
    EXPECT_TRUE(stored_.isEmpty()) << "a stored token is kept";

    // The gateway runs on its own, with the token in its environment and never on its command line.
    const std::optional<PortFile> file = portFile();
    ASSERT_TRUE(file);
    EXPECT_EQ(resolved.baseURL, u"http://127.0.0.1:%1/"_s.arg(file->port));
    EXPECT_TRUE(isRunning(file->pid));
    EXPECT_FALSE(procFile(file->pid, "cmdline").contains("token-a"));
    EXPECT_TRUE(procFile(file->pid, "environ").split('\0').contains("EBBCAST_GATEWAY_TOKEN=token-a"));
    EXPECT_EQ(health(resolved.baseURL, u"token-a"_s), 200);
    EXPECT_EQ(health(resolved.baseURL, u"token-b"_s), 401);
    EXPECT_EQ(modeOf(gatewayFolder()), 0700);
    EXPECT_EQ(modeOf(gatewayFolder() + u"/start.log"_s), 0600);

    // Another launcher, and another process, find it.
    EXPECT_EQ(test::runTask(launcher(program())->resolve(local(u"token-a"_s))).baseURL, resolved.baseURL);
    std::unique_ptr<QProcess> other(resolveElsewhere(u"token-a"_s, 1));
    EXPECT_EQ(finished(*other), resolved.baseURL);
    EXPECT_EQ(startsElsewhere(1), 0);
    EXPECT_EQ(starts(), 1);
    EXPECT_EQ(portFile()->pid, file->pid);
}

TEST_P(LocalGatewayProgramTest, TwoProcessesAskingAtOnceShareOneGateway)
{
    std::unique_ptr<QProcess> first(resolveElsewhere(u"shared"_s, 1));
    std::unique_ptr<QProcess> second(resolveElsewhere(u"shared"_s, 2));
    const QString url = finished(*first);
    EXPECT_EQ(finished(*second), url);
    EXPECT_FALSE(url.isEmpty());
    EXPECT_EQ(startsElsewhere(1) + startsElsewhere(2), 1);
    ASSERT_TRUE(portFile());
    EXPECT_EQ(health(url, u"shared"_s), 200);
}

TEST_P(LocalGatewayProgramTest, AGatewayThatDiedOrServesAnotherTokenIsReplaced)
{
    auto gateways = launcher(program());
    const QString killedURL = test::runTask(gateways->resolve(local(u"one"_s))).baseURL;
    const qint64 killed = portFile()->pid;
    ::kill(static_cast<pid_t>(killed), SIGKILL);
    ASSERT_TRUE(QTest::qWaitFor([killed] { return !isRunning(killed); }, patienceMs));

    // The port file still names the dead one.
    const QString restartedURL = test::runTask(gateways->resolve(local(u"one"_s))).baseURL;
    const qint64 restarted = portFile()->pid;
    EXPECT_NE(restarted, killed);
    EXPECT_EQ(health(restartedURL, u"one"_s), 200);
    EXPECT_EQ(starts(), 2);

    // Another token: the gateway answers 401, so it is stopped and one with the new token started.
    const QString replacedURL = test::runTask(gateways->resolve(local(u"two"_s))).baseURL;
    const qint64 replaced = portFile()->pid;
    EXPECT_NE(replaced, restarted);
    EXPECT_FALSE(isRunning(restarted));
    EXPECT_EQ(health(replacedURL, u"two"_s), 200);
    EXPECT_EQ(starts(), 3);
    Q_UNUSED(killedURL);
}

TEST_P(LocalGatewayProgramTest, WithoutATokenOneIsMadeStoredAndKeptOutOfEveryLog)
{
    auto gateways = launcher(program());
    const GlossenGatewaySettings resolved = test::runTask(gateways->resolve({u"Local"_s, u"  "_s}));
    ASSERT_EQ(stored_.size(), 1);
    const QString token = stored_.first();
    EXPECT_TRUE(QRegularExpression(u"^[0-9a-f]{64}$"_s).match(token).hasMatch()) << token.toStdString();
    EXPECT_EQ(resolved.token, token);
    EXPECT_EQ(health(resolved.baseURL, token), 200);

    // Stored, it is used from then on; nothing new is made or started.
    EXPECT_EQ(test::runTask(gateways->resolve(local(token))).baseURL, resolved.baseURL);
    EXPECT_EQ(stored_.size(), 1);
    EXPECT_EQ(starts(), 1);

    EXPECT_FALSE(log().contains(token));
    EXPECT_FALSE(
        test::TemporaryFolder::readAll(gatewayFolder() + u"/start.log"_s).contains(token.toLatin1()));
    EXPECT_FALSE(procFile(portFile()->pid, "cmdline").contains(token.toLatin1()));
}

TEST_P(LocalGatewayProgramTest, APortFileNamingAnotherProgramGetsNoToken)
{
    // A server of some other program took the port file's place: it must not hear the token.
    test::FakeHttpServer other;
    QDir().mkpath(gatewayFolder());
    test::TemporaryFolder::writeAll(gatewayFolder() + u"/port"_s,
                                    QByteArray::number(other.port()) + '\n' +
                                        QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    const QString url = test::runTask(launcher(program())->resolve(local(u"secret"_s))).baseURL;
    EXPECT_TRUE(other.requests().isEmpty());
    EXPECT_NE(url, other.url().toString());
    EXPECT_EQ(health(url, u"secret"_s), 200);
}

TEST_P(LocalGatewayProgramTest, TheClientSendsToTheGatewayItResolved)
{
    auto gateways = launcher(program());
    GlossenGatewayClient client(
        [] { return local(u"client-token"_s); },
        [&gateways](GlossenGatewaySettings stored) { return gateways->resolve(std::move(stored)); }, network_,
        GlossenGatewayClient::Options{});
    // The gateway knows no such job: its refusal, not "unauthorized", shows the request reached it with
    // the token.
    const std::optional<GlossenGatewayError> error =
        test::failureOf<GlossenGatewayError>(client.getJob(u"no-such-job"_s));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), GlossenGatewayError::Code::requestFailed);
    EXPECT_FALSE(error->description().contains(u"unauthorized"_s)) << error->description().toStdString();
    EXPECT_EQ(starts(), 1);
}

// The stand-in, the real ebbcast-gateway of this build, and the program EBBCAST_LOCAL_GATEWAY_PROGRAM names,
// if any (an installed one, say).
std::vector<QString> programs()
{
    std::vector<QString> programs{QString::fromUtf8(EBBCAST_LOCAL_GATEWAY_STAND_IN),
                                  QString::fromUtf8(EBBCAST_GATEWAY)};
    if (const QString named = qEnvironmentVariable("EBBCAST_LOCAL_GATEWAY_PROGRAM"); !named.isEmpty())
        programs.push_back(named);
    return programs;
}

std::string programName(const ::testing::TestParamInfo<QString>& program)
{
    static const char* const names[] = {"StandIn", "Real", "Named"};
    return names[std::min<size_t>(program.index, 2)];
}

INSTANTIATE_TEST_SUITE_P(Programs, LocalGatewayProgramTest, ::testing::ValuesIn(programs()), programName);

TEST_F(LocalGatewayTest, OtherSettingsAndUnusableTokensPassUnchanged)
{
    auto gateways = launcher(u"/nowhere/ebbcast-gateway"_s);
    const GlossenGatewaySettings unchanged[] = {
        {u"https://gateway.example.test/gw"_s, u" t "_s},
        {u""_s, u""_s},
        {u"localhost"_s, u"t"_s},
        {u"locals"_s, u"t"_s},
        {u"local"_s, u"two words"_s}, // for the client to refuse as invalid
    };
    for (const GlossenGatewaySettings& settings : unchanged) {
        const GlossenGatewaySettings resolved = test::runTask(gateways->resolve(settings));
        EXPECT_EQ(resolved.baseURL, settings.baseURL);
        EXPECT_EQ(resolved.token, settings.token);
    }
    EXPECT_TRUE(stored_.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(gatewayFolder()));
}

TEST_F(LocalGatewayTest, AMissingProgramIsSaidPlainly)
{
    for (const QString& program : {QString(), folder_.file(u"bin/ebbcast-gateway"_s)}) {
        SCOPED_TRACE(program.toStdString());
        const QString outcome = test::outcomeOf(launcher(program)->resolve(local(u"hidden-token"_s)));
        EXPECT_TRUE(
            outcome.startsWith(u"Glossen Gateway request failed: the local transcription gateway is not "
                               u"installed ("_s))
            << outcome.toStdString();
        EXPECT_FALSE(outcome.contains(u"hidden-token"_s));
    }
    EXPECT_TRUE(test::outcomeOf(launcher({})->resolve(local(u"t"_s)))
                    .contains(u"(ebbcast-gateway not found beside ebbcast or on PATH)"_s));
    EXPECT_FALSE(log().contains(u"hidden-token"_s));
}

TEST_F(LocalGatewayTest, AnEarlyExitGivesItsLastLineAtOnce)
{
    const QString program = folder_.file(u"bin/ebbcast-gateway"_s);
    writeScript(program,
                "echo 'ebbcast-gateway: loading' >&2\n"
                "echo \"ebbcast-gateway: speech model not found in /nowhere ($EBBCAST_GATEWAY_TOKEN)\" >&2\n"
                "exit 1\n");
    QElapsedTimer clock;
    clock.start();
    const QString outcome =
        test::outcomeOf(launcher(program, {.startTimeoutMs = patienceMs})->resolve(local(u"hidden-token"_s)));
    EXPECT_EQ(outcome,
              u"Glossen Gateway request failed: the local transcription gateway ended right after its "
              u"start: ebbcast-gateway: speech model not found in /nowhere ([redacted])"_s);
    EXPECT_LT(clock.elapsed(), patienceMs / 2) << "not the start's time-out";
}

TEST_F(LocalGatewayTest, NoAnswerWithinTheStartTimeIsSaid)
{
    const QString program = folder_.file(u"bin/ebbcast-gateway"_s);
    // Runs, but never writes a port file.
    writeScript(program, "echo $$ > '" + folder_.file(u"silent.pid"_s).toLocal8Bit() + "'\nexec sleep 60\n");
    const QString outcome =
        test::outcomeOf(launcher(program, {.startTimeoutMs = 1000})->resolve(local(u"t"_s)));
    EXPECT_TRUE(
        outcome.contains(u"the local transcription gateway did not answer within 1 s of its start (see "_s +
                         gatewayFolder() + u"/start.log)"_s))
        << outcome.toStdString();
}

TEST_F(LocalGatewayTest, ARuntimeFolderOthersMayWriteToIsRefused)
{
    QFile::setPermissions(runtime(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ExeOwner | QFileDevice::WriteOther |
                                         QFileDevice::ReadOther | QFileDevice::ExeOther);
    const QString outcome =
        test::outcomeOf(launcher(QString::fromUtf8(EBBCAST_LOCAL_GATEWAY_STAND_IN))->resolve(local(u"t"_s)));
    EXPECT_TRUE(outcome.contains(u"cannot be used: other users may write to it"_s)) << outcome.toStdString();
    EXPECT_FALSE(QFileInfo::exists(gatewayFolder() + u"/port"_s));
}

// The client's side of the hook: the resolver decides where each request goes, or why none is sent.
TEST(GatewaySettingsResolver, RunsBeforeEveryRequestAndItsFailureSendsNothing)
{
    QNetworkAccessManager network;
    test::FakeHttpServer server;
    server.setHandler([](const test::FakeHttpServer::Request&) {
        return test::FakeHttpServer::Response{200, R"({"job":{"id":"j1","state":"QUEUED"}})"};
    });
    int calls = 0;
    bool fail = false;
    GlossenGatewayClient client(
        [] {
            return GlossenGatewaySettings{u"local"_s, QString()};
        },
        [&](GlossenGatewaySettings stored) -> QCoro::Task<GlossenGatewaySettings> {
            ++calls;
            EXPECT_EQ(stored.baseURL, u"local"_s);
            if (fail)
                throw GlossenGatewayError::requestFailed(
                    u"the local transcription gateway is not installed"_s);
            co_return GlossenGatewaySettings{server.url(u"/gw/"_s).toString(), u"resolved-token"_s};
        },
        network, GlossenGatewayClient::Options{});

    EXPECT_EQ(test::runTask(client.getJob(u"j1"_s)).job.gatewayJobID, u"j1"_s);
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests().at(0).path, "/gw/v1/jobs/j1");
    EXPECT_EQ(server.requests().at(0).header("Authorization"), "Bearer resolved-token");

    fail = true;
    EXPECT_EQ(test::outcomeOf(client.listArtifacts(u"j1"_s)),
              u"Glossen Gateway request failed: the local transcription gateway is not installed"_s);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(server.requests().size(), 1);

    // Without a resolver "local" is no address: refused as before, unsent.
    GlossenGatewayClient plain([] { return GlossenGatewaySettings{u"local"_s, u"t"_s}; }, network);
    const std::optional<GlossenGatewayError> refused =
        test::failureOf<GlossenGatewayError>(plain.getJob(u"j1"_s));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code(), GlossenGatewayError::Code::invalidBaseURL);
    EXPECT_EQ(server.requests().size(), 1);
}

} // namespace
} // namespace ebbcast
