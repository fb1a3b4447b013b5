#include "core/base/Logger.h"
#include "relay/CorvaneRelayStateFile.h"
#include "relay/PelkoReadyPayload.h"
#include "support/FakeRelayServer.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QEventLoop>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::FakeHttpServer;
using test::FakeRelayServer;

const QString token = u"crash-token"_s;
const QString sessionName = u"2026-01-05_10-00-00"_s;
const QString threadKey = u"ebbcast:velno:"_s + sessionName;
constexpr int eventCount = 7; // the parent and six chunk events

// Runs the poster to its end (or its kill) while this process's event loop serves the fake relay.
int runPoster(QProcess& process, const QString& folder, const QUrl& endpoint)
{
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    process.start(QStringLiteral(EBBCAST_RELAY_POSTER), {folder, endpoint.toString(), token});
    limit.start(30'000);
    loop.exec();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "the poster did not finish";
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// A poster killed with SIGKILL at a random request, on arrival or after the relay processed it, then run
// again: every event is in the one thread exactly once (the relay deduplicates), the state decodes and holds
// every key; without deduplication each kill adds at most one duplicate.
TEST(RelayCrash, AKilledPosterResendsAndEveryEventEndsUpInTheThreadOnce)
{
    QRandomGenerator random(20260105);
    for (int trial = 0; trial < 30; ++trial) {
        test::TemporaryFolder root;
        const QString folder = root.file(sessionName);
        ASSERT_TRUE(QDir().mkpath(folder));
        FakeRelayServer relay(token);
        const bool deduplicate = trial % 5 != 4;
        relay.setDeduplication(deduplicate);
        FakeHttpServer server;
        server.setModel(relay);
        const QUrl endpoint = server.url(u"/corvane/api/v1/pelko/notify"_s);

        QProcess poster;
        const int killAt = static_cast<int>(random.bounded(eventCount)) + 1;
        const auto killStage =
            random.bounded(2) == 0 ? FakeRelayServer::Stage::arrived : FakeRelayServer::Stage::processed;
        int seen = 0;
        relay.setHook([&](const FakeHttpServer::Request&, FakeRelayServer::Stage stage) {
            if (stage == FakeRelayServer::Stage::arrived)
                ++seen;
            if (seen == killAt && stage == killStage && poster.state() != QProcess::NotRunning) {
                poster.kill();
                poster.waitForFinished();
            }
        });
        const std::string name = "trial " + std::to_string(trial) + ", kill at " + std::to_string(killAt);
        EXPECT_EQ(runPoster(poster, folder, endpoint), -1) << name;

        relay.setHook({});
        QProcess again;
        EXPECT_EQ(runPoster(again, folder, endpoint), 0) << name;

        ASSERT_EQ(relay.threads().size(), 1) << name;
        Logger logger(root.file(u"check.log"_s));
        const CorvaneRelayState state = CorvaneRelayStateFile(folder, logger).load(sessionName, threadKey);
        EXPECT_TRUE(state.pendingEvents.empty()) << name;
        EXPECT_EQ(state.postedEventIdempotencyKeys.size(), eventCount) << name;
        QStringList keys = {
            RelayWording::eventKey(threadKey, QString::fromLatin1(RelayEvent::sessionStarted), std::nullopt)};
        for (qint64 index = 0; index < 6; ++index) {
            keys.append(RelayWording::eventKey(threadKey, QString::fromLatin1(RelayEvent::chunkTranscribed),
                                               ChunkRef{u"microphone"_s, index}));
        }
        int duplicates = 0;
        for (const QString& key : keys) {
            const int count = relay.messagesWithKey(key);
            EXPECT_GE(count, 1) << name << " " << key.toStdString();
            duplicates += count - 1;
        }
        EXPECT_LE(duplicates, deduplicate ? 0 : 1) << name << ": one kill, at most one duplicate";
        EXPECT_TRUE(relay.violations().isEmpty()) << name << relay.violations().join(u"; "_s).toStdString();
    }
}

// Two posters on one session at once, against a relay that does not deduplicate: the session gate's lock
// across processes makes the second find each event recorded, so nothing is posted twice.
TEST(RelayCrash, TwoProcessesOnOneSessionPostEachEventOnce)
{
    test::TemporaryFolder root;
    const QString folder = root.file(sessionName);
    ASSERT_TRUE(QDir().mkpath(folder));
    FakeRelayServer relay(token);
    relay.setDeduplication(false);
    FakeHttpServer server;
    server.setModel(relay);
    const QUrl endpoint = server.url(u"/corvane/api/v1/pelko/notify"_s);

    QProcess first;
    QProcess second;
    int finished = 0;
    QEventLoop loop;
    for (QProcess* process : {&first, &second}) {
        QObject::connect(process, &QProcess::finished, &loop, [&] {
            if (++finished == 2)
                loop.quit();
        });
        process->start(QStringLiteral(EBBCAST_RELAY_POSTER), {folder, endpoint.toString(), token});
    }
    QTimer::singleShot(60'000, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_EQ(finished, 2);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_EQ(relay.threads().size(), 1);
    EXPECT_EQ(relay.threads().front().messages.size(), eventCount);
    EXPECT_TRUE(relay.violations().isEmpty()) << relay.violations().join(u"; "_s).toStdString();
}

} // namespace
} // namespace ebbcast
