#include "core/base/EbbcastError.h"
#include "relay/CorvaneRelayStateFile.h"
#include "relay/CorvaneSessionGate.h"
#include "support/LogLines.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

const QString threadKey = u"ebbcast:velno:2026-01-05_10-00-00"_s;
const QString sessionID = u"2026-01-05_10-00-00"_s;

QDateTime fixedNow()
{
    return QDateTime(QDate(2026, 1, 5), QTime(10, 30, 0), Qt::UTC);
}

class RelayStateFileTest : public ::testing::Test {
protected:
    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"logs/ebbcast.log"_s)};
    CorvaneRelayStateFile file_{folder_.path(), logger_, fixedNow};
};

TEST_F(RelayStateFileTest, AStateWithPendingEventsRoundTripsAndKeepsTheBodyBytes)
{
    CorvaneRelayState state = CorvaneRelayState::fresh(sessionID, threadKey);
    state.parentCreationStatus = u"created"_s;
    state.parentCreationAttempts = 2;
    state.parentThreadTS = u"1712.0001"_s;
    state.parentCreatedAt = fixedNow();
    state.postedEventIdempotencyKeys = {threadKey + u":recording.session.started"_s};
    const QString body = uR"({"event":"recording.chunk.ready","notes":"a/b \"q\" é","chunk_index":1})"_s;
    state.pendingEvents = {
        {threadKey + u":recording.chunk.ready:microphone:1"_s, u"recording.chunk.ready"_s, false, body},
        {threadKey + u":recording.transcript.ready"_s, u"recording.transcript.ready"_s, true, u"{}"_s},
    };
    file_.save(state);

    EXPECT_EQ(file_.load(sessionID, threadKey), state);
    EXPECT_EQ(file_.load(sessionID, threadKey).pendingEvents.front().body.toUtf8(), body.toUtf8());
    EXPECT_EQ(QFile::permissions(file_.path()) & 0x0077, 0) << "owner only";
    const QByteArray stored = test::TemporaryFolder::readAll(file_.path());
    EXPECT_TRUE(stored.contains("\"pending_events\"")) << stored.data();
    EXPECT_LT(stored.indexOf("\"blocked_reason\""), 0) << "absent optionals are left out";

    // Once nothing is pending, the member is left out again.
    state.pendingEvents.clear();
    file_.save(state);
    EXPECT_FALSE(test::TemporaryFolder::readAll(file_.path()).contains("pending_events"));
}

TEST_F(RelayStateFileTest, MissingMembersTakeTheirDefaultsAndMissingFilesAreFresh)
{
    EXPECT_EQ(file_.load(sessionID, threadKey), CorvaneRelayState::fresh(sessionID, threadKey));
    EXPECT_FALSE(QFile::exists(file_.path())) << "loading writes nothing";

    test::TemporaryFolder::writeAll(file_.path(), R"({"session_id":"s","thread_key":"ebbcast:other:s"})");
    const CorvaneRelayState state = file_.load(sessionID, threadKey);
    EXPECT_EQ(state.threadKey, u"ebbcast:other:s"_s)
        << "the stored thread key wins over the current recorder";
    EXPECT_EQ(state.parentCreationStatus, u"not_started"_s);
    EXPECT_EQ(state.parentCreationAttempts, 0);
    EXPECT_EQ(state.finalNotificationStatus, u"not_posted"_s);
    EXPECT_TRUE(state.postedEventIdempotencyKeys.isEmpty());
    EXPECT_TRUE(state.pendingEvents.empty());
}

TEST_F(RelayStateFileTest, AnUndecodableStateIsKeptAsideWithOneErrorLine)
{
    const QList<QByteArray> corrupt = {
        "{ not json CANARY",
        R"({"thread_key":"k","CANARY":1})",
        R"({"session_id":"s","thread_key":"k","parent_creation_attempts":"two","CANARY":1})",
        R"({"session_id":"s","thread_key":"k","pending_events":[{"event":"e","CANARY":1}]})",
        R"({"session_id":"s","thread_key":"k","posted_event_idempotency_keys":"CANARY"})",
    };
    int round = 0;
    for (const QByteArray& content : corrupt) {
        ++round;
        test::TemporaryFolder::writeAll(file_.path(), content);
        EXPECT_EQ(file_.load(sessionID, threadKey), CorvaneRelayState::fresh(sessionID, threadKey))
            << content.data();
        EXPECT_FALSE(QFile::exists(file_.path())) << content.data();
        const QStringList kept = QDir(folder_.path())
                                     .entryList({u".ebbcast_corvane_state.json.corrupt-20260105T103000Z*"_s},
                                                QDir::Files | QDir::Hidden);
        EXPECT_EQ(kept.size(), round) << content.data();
        EXPECT_EQ(test::countLogLines(logger_, u"Unreadable relay state"_s), round);
    }
    EXPECT_EQ(test::countLogLines(logger_, u"CANARY"_s), 0) << "the content is never logged";
}

TEST_F(RelayStateFileTest, AStateThatCannotBeReadStopsTheOperationAndIsLeftAlone)
{
    ASSERT_TRUE(QDir().mkpath(file_.path()));
    EXPECT_THROW(file_.load(sessionID, threadKey), CorvaneRelayStateReadError);
    EXPECT_TRUE(QFileInfo(file_.path()).isDir());
    EXPECT_TRUE(
        QDir(folder_.path()).entryList({u"*.corrupt-*"_s}, QDir::AllEntries | QDir::Hidden).isEmpty());
}

TEST(CorvaneSessionGate, HoldsTheRelayLockFileAndNotTheUploadOne)
{
    test::TemporaryFolder folder;
    CorvaneSessionGate gate;
    const SessionFolderGate::Lease lease = test::runTask(gate.acquire(folder.path()));
    ASSERT_TRUE(lease.isHeld());
    const auto canLock = [&folder](const QString& name) {
        return QProcess::execute(u"flock"_s, {u"-n"_s, folder.file(name), u"true"_s}) == 0;
    };
    EXPECT_FALSE(canLock(u".ebbcast_corvane_state.lock"_s));
    EXPECT_TRUE(canLock(u".ebbcast_upload.lock"_s));
}

} // namespace
} // namespace ebbcast
