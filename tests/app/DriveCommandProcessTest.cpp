#include "support/FakeGoogleDrive.h"
#include "support/FakeGoogleOAuth.h"
#include "support/GoogleCommandEnvironment.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <signal.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::FakeGoogleDrive;
using test::FakeGoogleOAuth;
using test::FakeHttpServer;

struct ProcessRun {
    int status = -1;
    QString out;
    QString err;
    qint64 elapsedMs = 0;
};

// `secret-tool` on the session's Secret Service: the items QtKeychain stores for the sign-in ("server" is
// its name for the service, "user" for the account).
QByteArray secretToolSearch(const QProcessEnvironment& environment)
{
    QProcess tool;
    tool.setProcessEnvironment(environment);
    tool.start(u"secret-tool"_s,
               {u"search"_s, u"--all"_s, u"server"_s, u"Ebbcast.GoogleOAuth"_s, u"user"_s, u"default"_s});
    tool.waitForFinished(10000);
    return tool.readAllStandardOutput() + tool.readAllStandardError();
}

// Every file under `folder`, read whole, for the canary.
QStringList filesContaining(const QString& folder, const QString& text)
{
    QStringList found;
    QDirIterator files(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (test::TemporaryFolder::readAll(path).contains(text.toUtf8()))
            found.append(path);
    }
    return found;
}

// "ebbcast drive" as a user runs it: its own HOME with the OAuth client in its settings, the fake Google in
// this test (served while the test waits), the curl browser first on PATH, the session's keyring.
class DriveCommandProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_.setModel(oauth_);
        environment_ = test::googleCommandEnvironment(folder_, oauth_);
        environment_.insert(u"EBBCAST_GOOGLE_API_URL"_s, drive_.apiURL().toString());
        run({u"drive"_s, u"sign-out"_s});
    }

    void TearDown() override
    {
        issuer_ = &oauth_;
        run({u"drive"_s, u"sign-out"_s});
        EXPECT_TRUE(server_.violations().isEmpty()) << server_.violations().join(u"; "_s).toStdString();
        EXPECT_TRUE(driveServer_.violations().isEmpty())
            << driveServer_.violations().join(u"; "_s).toStdString();
        EXPECT_EQ(filesContaining(folder_.path(), FakeGoogleOAuth::canary), QStringList())
            << "no secret in any file of HOME (settings, log)";
    }

    ProcessRun run(const QStringList& arguments, std::function<void(QProcess&)> whileRunning = {},
                   const std::optional<QProcessEnvironment>& environment = std::nullopt)
    {
        QProcess process;
        process.setProcessEnvironment(environment.value_or(environment_));
        QElapsedTimer elapsed;
        elapsed.start();
        process.start(QString::fromUtf8(EBBCAST_EXECUTABLE), arguments);
        EXPECT_TRUE(process.waitForStarted(10000));
        if (whileRunning)
            whileRunning(process);
        EXPECT_TRUE(QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; },
                                    static_cast<int>(60000 * test::timingScale())));
        ProcessRun result;
        result.elapsedMs = elapsed.elapsed();
        result.status =
            process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -process.exitCode();
        if (process.exitStatus() == QProcess::CrashExit)
            result.status = -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        EXPECT_FALSE(result.out.contains(FakeGoogleOAuth::canary)) << result.out.toStdString();
        EXPECT_FALSE(result.err.contains(FakeGoogleOAuth::canary)) << result.err.toStdString();
        return result;
    }

    test::TemporaryFolder folder_;
    FakeHttpServer server_;
    // The client secret is a setting, kept in the settings file: no canary in it.
    FakeGoogleOAuth oauth_{server_, {.clientSecret = QStringLiteral("process-client-secret")}};
    FakeGoogleOAuth* issuer_ = &oauth_; // whose access tokens Drive accepts
    FakeHttpServer driveServer_;
    FakeGoogleDrive drive_{driveServer_, driveConfig()};
    QProcessEnvironment environment_;

private:
    FakeGoogleDrive::Config driveConfig()
    {
        FakeGoogleDrive::Config config;
        config.tokens.clear();
        config.issuedToken = [this](const QString& token) {
            return issuer_->isValidAccessToken(token);
        };
        return config;
    }
};

TEST_F(DriveCommandProcessTest, SignInStoresTheTokenStatusShowsItAndSignOutRemovesIt)
{
    const ProcessRun before = run({u"drive"_s, u"status"_s});
    EXPECT_EQ(before.status, 1);
    EXPECT_EQ(before.out, u"Not signed in.\n"_s);

    const ProcessRun signIn = run({u"drive"_s, u"sign-in"_s});
    EXPECT_EQ(signIn.status, 0) << signIn.err.toStdString();
    EXPECT_EQ(signIn.out, u"Signed in to Google Drive.\n"_s);
    EXPECT_TRUE(signIn.err.contains(oauth_.authorizationURL().toString())) << "the address is printed";
    EXPECT_EQ(test::TemporaryFolder::readAll(folder_.file(u"browser.log"_s)), "200\n");
    EXPECT_EQ(oauth_.codeExchanges(), 1);
    EXPECT_FALSE(secretToolSearch(environment_).isEmpty()) << "the item is in the Secret Service";

    const ProcessRun status = run({u"drive"_s, u"status"_s});
    EXPECT_EQ(status.status, 0) << status.err.toStdString();
    EXPECT_TRUE(status.out.startsWith(u"Token stored: yes\nAccess token expires: "_s))
        << status.out.toStdString();
    EXPECT_TRUE(status.out.contains(u"Refresh token: stored\n"_s));
    EXPECT_TRUE(status.out.endsWith(u"Account: Ada Lovelace <ada@example.org>\n"_s))
        << status.out.toStdString();

    const ProcessRun signOut = run({u"drive"_s, u"sign-out"_s});
    EXPECT_EQ(signOut.status, 0);
    EXPECT_EQ(signOut.out, u"Signed out.\n"_s);
    EXPECT_TRUE(secretToolSearch(environment_).isEmpty());
    EXPECT_EQ(run({u"drive"_s, u"sign-out"_s}).out, u"Not signed in.\n"_s);
    EXPECT_EQ(run({u"drive"_s, u"status"_s}).status, 1);
}

TEST_F(DriveCommandProcessTest, AnExpiredTokenIsRefreshedByStatusAndARevokedOneEndsTheSignIn)
{
    server_.setModel(oauth_);
    FakeGoogleOAuth shortLived(
        server_, {.clientSecret = oauth_.config().clientSecret, .accessTokenLifetimeSeconds = 30});
    server_.setModel(shortLived);
    issuer_ = &shortLived;
    ASSERT_EQ(run({u"drive"_s, u"sign-in"_s}).status, 0);
    shortLived.setAccessTokenLifetimeSeconds(3599); // the refreshed token is fresh for the account lookup
    const ProcessRun refreshed = run({u"drive"_s, u"status"_s});
    EXPECT_EQ(refreshed.status, 0) << refreshed.err.toStdString();
    EXPECT_TRUE(refreshed.out.contains(u"Access token refreshed"_s)) << refreshed.out.toStdString();
    EXPECT_EQ(shortLived.refreshes(), 1);
    EXPECT_TRUE(refreshed.out.endsWith(u"Account: Ada Lovelace <ada@example.org>\n"_s))
        << refreshed.out.toStdString();

    // A stale token again, and its refresh token revoked.
    shortLived.setAccessTokenLifetimeSeconds(30);
    ASSERT_EQ(run({u"drive"_s, u"sign-in"_s}).status, 0);
    shortLived.revokeRefreshTokens();
    const ProcessRun revoked = run({u"drive"_s, u"status"_s});
    EXPECT_EQ(revoked.status, 1);
    EXPECT_TRUE(revoked.err.contains(u"Google sign-in expired or was revoked; sign in again."_s))
        << revoked.err.toStdString();
    EXPECT_TRUE(secretToolSearch(environment_).isEmpty()) << "the dead token is deleted";
    EXPECT_EQ(shortLived.consentPages(), 2) << "status never signs in";
}

// The fake Google as a process of its own (as benchmarks and later end-to-end tests use it): one address
// serves the consent page, the token endpoint and Drive, which accepts the tokens the sign-in obtained.
TEST_F(DriveCommandProcessTest, TheFakeGoogleProcessServesSignInAndDrive)
{
    const QString portFile = folder_.file(u"fake-google.port"_s);
    QProcess fake;
    fake.start(QString::fromUtf8(EBBCAST_FAKE_GOOGLE),
               {u"--port-file"_s, portFile, u"--client-id"_s, oauth_.config().clientID, u"--client-secret"_s,
                oauth_.config().clientSecret});
    ASSERT_TRUE(fake.waitForStarted(10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !test::TemporaryFolder::readAll(portFile).trimmed().isEmpty(); },
                                static_cast<int>(10000 * test::timingScale())));
    const QString base =
        u"http://127.0.0.1:"_s + QString::fromLatin1(test::TemporaryFolder::readAll(portFile).trimmed());
    QProcessEnvironment environment = environment_;
    environment.insert(u"EBBCAST_GOOGLE_AUTH_URL"_s, base + u"/o/oauth2/v2/auth"_s);
    environment.insert(u"EBBCAST_GOOGLE_TOKEN_URL"_s, base + u"/token"_s);
    environment.insert(u"EBBCAST_GOOGLE_API_URL"_s, base);

    const ProcessRun signIn = run({u"drive"_s, u"sign-in"_s}, {}, environment);
    EXPECT_EQ(signIn.status, 0) << signIn.err.toStdString();
    const ProcessRun status = run({u"drive"_s, u"status"_s}, {}, environment);
    EXPECT_EQ(status.status, 0) << status.err.toStdString();
    EXPECT_TRUE(status.out.endsWith(u"Account: Ada Lovelace <ada@example.org>\n"_s))
        << status.out.toStdString();
    EXPECT_EQ(run({u"drive"_s, u"sign-out"_s}, {}, environment).out, u"Signed out.\n"_s);

    fake.terminate();
    ASSERT_TRUE(fake.waitForFinished(10000));
    EXPECT_EQ(fake.exitCode(), 0);
    const QString report = QString::fromUtf8(fake.readAllStandardError());
    EXPECT_TRUE(report.contains(u", 0 violations"_s)) << report.toStdString();
    EXPECT_EQ(oauth_.consentPages(), 0) << "the fake in the test was not asked";
}

TEST_F(DriveCommandProcessTest, SignInFailsClearlyWithoutAClientIDOrWhenTheUserRefuses)
{
    oauth_.setUserRefuses(true);
    const ProcessRun refused = run({u"drive"_s, u"sign-in"_s});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains(u"ebbcast: Google sign-in was denied in the browser."_s))
        << refused.err.toStdString();
    EXPECT_TRUE(secretToolSearch(environment_).isEmpty());

    test::TemporaryFolder::writeAll(folder_.file(u"home/.config/Tavilon/settings.json"_s), "{}");
    const ProcessRun noClient = run({u"drive"_s, u"sign-in"_s});
    EXPECT_EQ(noClient.status, 1);
    EXPECT_TRUE(noClient.err.contains(u"Google OAuth client ID is not set"_s)) << noClient.err.toStdString();
    EXPECT_EQ(oauth_.consentPages(), 1) << "nothing opened without a client ID";
}

TEST_F(DriveCommandProcessTest, InterruptingTheSignInStoresNothing)
{
    QProcessEnvironment noBrowser = environment_;
    noBrowser.insert(u"PATH"_s, folder_.file(u"empty-path"_s) + u":/usr/bin:/bin"_s);
    noBrowser.insert(u"XDG_CURRENT_DESKTOP"_s, u"none"_s);
    QDir().mkpath(folder_.file(u"empty-path"_s));
    const QString opened = folder_.file(u"opened"_s);
    test::TemporaryFolder::writeAll(folder_.file(u"empty-path/xdg-open"_s),
                                    "#!/bin/sh\ntouch '" + opened.toUtf8() + "'\n");
    QFile::setPermissions(folder_.file(u"empty-path/xdg-open"_s), QFile::ReadOwner | QFile::ExeOwner);
    const ProcessRun interrupted = run(
        {u"drive"_s, u"sign-in"_s},
        [&opened](QProcess& process) {
            // Once the browser was asked, the sign-in waits for the callback.
            ASSERT_TRUE(QTest::qWaitFor([&opened] { return QFile::exists(opened); }, 20000));
            const qint64 pid = process.processId();
            ASSERT_GT(pid, 0);
            ::kill(static_cast<pid_t>(pid), SIGINT);
        },
        noBrowser);
    EXPECT_EQ(interrupted.status, -1) << "ends by the signal";
    EXPECT_TRUE(secretToolSearch(environment_).isEmpty());
}

// A Secret Service that cannot be used: a clear error within the job limit, nothing written, exit 1.
class BrokenKeyringTest : public DriveCommandProcessTest {
protected:
    // A private bus daemon without service activation.
    QString startPrivateBus()
    {
        const QString config = folder_.file(u"bus.conf"_s);
        test::TemporaryFolder::writeAll(
            config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                    "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                    "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                    "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
        bus_.start(u"dbus-daemon"_s, {u"--config-file="_s + config, u"--nofork"_s, u"--print-address=1"_s});
        EXPECT_TRUE(bus_.waitForStarted(5000));
        EXPECT_TRUE(QTest::qWaitFor([this] { return bus_.canReadLine(); }, 5000));
        return QString::fromUtf8(bus_.readLine()).trimmed();
    }

    void TearDown() override
    {
        if (keyring_.state() != QProcess::NotRunning) {
            keyring_.terminate();
            keyring_.waitForFinished(5000);
        }
        if (bus_.state() != QProcess::NotRunning) {
            bus_.terminate();
            bus_.waitForFinished(5000);
        }
        EXPECT_EQ(filesContaining(folder_.path(), FakeGoogleOAuth::canary), QStringList());
    }

    void expectClearFailure(const QProcessEnvironment& environment, const QString& cause)
    {
        for (const QString& action : {u"status"_s, u"sign-out"_s, u"sign-in"_s}) {
            const ProcessRun result = run({u"drive"_s, action}, {}, environment);
            EXPECT_EQ(result.status, 1) << action.toStdString();
            EXPECT_TRUE(result.err.contains(u"Keychain operation failed"_s)) << result.err.toStdString();
            EXPECT_TRUE(result.err.contains(cause)) << result.err.toStdString();
            EXPECT_LT(result.elapsedMs, 10'000 * test::timingScale() + 5000) << action.toStdString();
        }
        EXPECT_EQ(oauth_.codeExchanges(), 0);
    }

    QProcess bus_;
    QProcess keyring_;
};

TEST_F(BrokenKeyringTest, NoSessionBus)
{
    QProcessEnvironment environment = environment_;
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + folder_.file(u"no-bus"_s));
    expectClearFailure(environment, u"session bus"_s);
}

TEST_F(BrokenKeyringTest, NoSecretServiceOnTheBus)
{
    QProcessEnvironment environment = environment_;
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, startPrivateBus());
    expectClearFailure(environment, u"org.freedesktop.secrets"_s);
}

TEST_F(BrokenKeyringTest, ALockedKeyring)
{
    QProcessEnvironment environment = environment_;
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, startPrivateBus());
    QDir().mkpath(folder_.file(u"runtime"_s));
    QFile::setPermissions(folder_.file(u"runtime"_s), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    environment.insert(u"XDG_RUNTIME_DIR"_s, folder_.file(u"runtime"_s));
    // A login keyring that exists but is not unlocked: made (unlocked) by a first daemon, then a second one
    // starts without the password.
    const auto startKeyring = [this, &environment](bool unlock) {
        keyring_.setProcessEnvironment(environment);
        QStringList arguments{u"--foreground"_s, u"--components=secrets"_s};
        if (unlock)
            arguments.append(u"--unlock"_s);
        keyring_.start(u"gnome-keyring-daemon"_s, arguments);
        EXPECT_TRUE(keyring_.waitForStarted(5000));
        if (unlock) {
            keyring_.write("throw-away-password");
            keyring_.closeWriteChannel();
        }
        QProcess owner;
        owner.setProcessEnvironment(environment);
        EXPECT_TRUE(QTest::qWaitFor(
            [&owner] {
                owner.start(u"dbus-send"_s,
                            {u"--session"_s, u"--print-reply"_s, u"--dest=org.freedesktop.DBus"_s,
                             u"/org/freedesktop/DBus"_s, u"org.freedesktop.DBus.NameHasOwner"_s,
                             u"string:org.freedesktop.secrets"_s});
                owner.waitForFinished(2000);
                return owner.readAllStandardOutput().contains("true");
            },
            10000));
    };
    startKeyring(true);
    QProcess store;
    store.setProcessEnvironment(environment);
    store.start(u"secret-tool"_s, {u"store"_s, u"--label=probe"_s, u"probe"_s, u"1"_s});
    store.write("x");
    store.closeWriteChannel();
    ASSERT_TRUE(store.waitForFinished(10000));
    keyring_.terminate();
    ASSERT_TRUE(keyring_.waitForFinished(5000));
    QTest::qWait(200);
    startKeyring(false);
    expectClearFailure(environment, u"locked"_s);
}

} // namespace
} // namespace ebbcast
