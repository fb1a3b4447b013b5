#include "clocksync/ClockSyncManager.h"

#include "core/base/Logger.h"
#include "support/FakeHttpServer.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>

#include <gtest/gtest.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::FakeHttpServer;

class ClockSyncManagerTest : public ::testing::Test {
protected:
    ClockSyncManagerTest()
    {
        server_.expectMethod("GET");
        server_.expectNoBody();
        server_.forbidHeaders({"authorization", "cookie"});
    }

    ~ClockSyncManagerTest() override
    {
        EXPECT_TRUE(server_.violations().isEmpty()) << server_.violations().join(u"; "_s).toStdString();
    }

    // Each request advances the clock by the next round trip, then answers with the body.
    void answer(std::vector<int> roundTripsMs, FakeHttpServer::Response response)
    {
        server_.setHandler([this, roundTripsMs, response](const FakeHttpServer::Request&) {
            const size_t n = server_.requests().size() - 1;
            clock_.advance(roundTripsMs.at(std::min(n, roundTripsMs.size() - 1)) / 1000.0);
            return response;
        });
    }

    std::optional<ClockSyncMetadata> sync(int timeoutMs = ClockSyncManager::defaultRequestTimeoutMs)
    {
        // The monotonic clock follows the manual clock's time, not its steps of the wall clock.
        const QDateTime origin = clock_.now();
        ClockSyncManager manager(
            config_, logger_, network_, [this] { return clock_.now().addSecs(wallClockStepSeconds_); },
            [this, origin] { return 123.5 + static_cast<double>(origin.msecsTo(clock_.now())) / 1000.0; },
            timeoutMs);
        return test::runTask(manager.sync());
    }

    int countLines(const QString& text) { return test::countLogLines(logger_, text); }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    QNetworkAccessManager network_;
    test::ManualClock clock_{QDateTime(QDate(2025, 12, 6), QTime(8, 33, 19, 980), Qt::UTC)};
    test::FakeHttpServer server_;
    ClockSyncManager::Config config_{.enabled = true, .url = server_.url(u"/time"_s).toString()};
    qint64 wallClockStepSeconds_ = 0; // the wall clock set forward (an NTP step, a user's change)
};

TEST_F(ClockSyncManagerTest, UnixMillisecondsGiveTheOffsetFromTheMidpoint)
{
    answer({40}, {200, R"({"unix_ms": 1765010000000, "other": true})"});
    const auto result = sync();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->provider, u"server"_s);
    EXPECT_EQ(result->status, u"synced"_s);
    EXPECT_EQ(result->url, server_.url(u"/time"_s).toString());
    ASSERT_EQ(result->samples.size(), 3U);
    const ClockSyncSample& first = result->samples[0];
    EXPECT_EQ(first.serverTime, QDateTime(QDate(2025, 12, 6), QTime(8, 33, 20), Qt::UTC));
    EXPECT_EQ(first.roundTripMilliseconds, 40.0);
    EXPECT_EQ(first.estimatedOffsetMilliseconds, 0.0);
    EXPECT_EQ(first.clientSendMonotonic, 123.5);
    EXPECT_EQ(result->samples[1].estimatedOffsetMilliseconds, -40.0)
        << "the second sample is sent 40 ms later";
    EXPECT_EQ(result->bestSample, first) << "equal round trips: the earlier sample wins";
    EXPECT_EQ(countLines(u"[INFO] Clock sync completed offset_ms=0 rtt_ms=40"_s), 1);

    ASSERT_EQ(server_.requests().size(), 3);
    EXPECT_EQ(server_.requests()[0].target, "/time") << "the URL is sent unchanged";
}

TEST_F(ClockSyncManagerTest, AWallClockStepDuringARequestDoesNotBecomeTheRoundTrip)
{
    server_.setHandler([this](const FakeHttpServer::Request&) {
        clock_.advance(0.030);
        if (server_.requests().size() == 1)
            wallClockStepSeconds_ = 3600; // the clock is set an hour forward while the first request runs
        return FakeHttpServer::Response{200, R"({"unix_ms": 1765010000000})"};
    });
    const auto result = sync();
    ASSERT_TRUE(result && result->bestSample);
    ASSERT_EQ(result->samples.size(), 3U);
    EXPECT_EQ(result->samples[0].roundTripMilliseconds, 30.0) << "not an hour";
    EXPECT_EQ(result->samples[1].roundTripMilliseconds, 30.0);
}

TEST_F(ClockSyncManagerTest, TheSmallestRoundTripWinsAndTiesGoToTheEarlierSample)
{
    answer({80, 35, 35}, {200, R"({"server_time": "2025-12-06T08:33:20.250Z"})"});
    const auto result = sync();
    ASSERT_TRUE(result && result->bestSample);
    EXPECT_EQ(result->bestSample->clientSendTime, result->samples[1].clientSendTime);
    EXPECT_EQ(result->bestSample->roundTripMilliseconds, 35.0);
}

TEST_F(ClockSyncManagerTest, UnixMillisecondsWinOverServerTime)
{
    answer({0}, {200, R"({"server_time": "2030-01-01T00:00:00.000Z", "unix_ms": 1765010000000.5})"});
    const auto result = sync();
    ASSERT_TRUE(result && result->bestSample);
    EXPECT_EQ(result->bestSample->serverTime.date().year(), 2025);
}

TEST_F(ClockSyncManagerTest, UnusableRepliesFailEverySampleWithTheirReason)
{
    struct Case {
        FakeHttpServer::Response response;
        QString line;
    };
    const Case cases[] = {
        {{200, R"({"server_time": "2026-12-06T08:30:38Z"})"},
         u"[ERROR] Clock sync sample failed: Clock sync endpoint must return unix_ms or server_time."_s},
        {{200, R"([1765010000000])"},
         u"[ERROR] Clock sync sample failed: Clock sync endpoint must return unix_ms or server_time."_s},
        {{200, R"({"unix_ms": "1765010000000"})"},
         u"[ERROR] Clock sync sample failed: Clock sync endpoint must return unix_ms or server_time."_s},
        {{503, R"({"unix_ms": 1765010000000})"},
         u"[ERROR] Clock sync sample failed: Clock sync endpoint returned a non-success response."_s},
        {{200, "not json"}, u"[ERROR] Clock sync sample failed: "_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.response.body.toStdString());
        const int before = countLines(c.line);
        answer({10}, c.response);
        const auto result = sync();
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->status, u"failed"_s);
        EXPECT_TRUE(result->samples.empty());
        EXPECT_FALSE(result->bestSample.has_value());
        EXPECT_EQ(countLines(c.line) - before, 3);
    }
    EXPECT_EQ(countLines(u"Clock sync completed"_s), 0);
}

TEST_F(ClockSyncManagerTest, SwitchedOffOrWithoutAUsableUrlNothingIsSent)
{
    const std::pair<bool, QString> cases[] = {
        {false, server_.url(u"/time"_s).toString()},
        {true, u"   \n\t "_s},
        {true, u""_s},
        {true, u"not a url at all"_s},
    };
    for (const auto& [enabled, url] : cases) {
        config_ = {.enabled = enabled, .url = url};
        EXPECT_FALSE(sync().has_value()) << url.toStdString();
    }
    EXPECT_TRUE(server_.requests().isEmpty());
    EXPECT_EQ(countLines(u"Clock sync"_s), 0);
}

TEST_F(ClockSyncManagerTest, SurroundingWhitespaceIsTrimmedFromTheEndpoint)
{
    config_.url = u"  "_s + server_.url(u"/time?zone=utc"_s).toString() + u"\n"_s;
    answer({5}, {200, R"({"unix_ms": 1765010000000})"});
    const auto result = sync();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->url, server_.url(u"/time?zone=utc"_s).toString());
    EXPECT_EQ(server_.requests().value(0).target, "/time?zone=utc");
}

TEST_F(ClockSyncManagerTest, AnEndpointThatNeverAnswersEndsWithinTheTimeOut)
{
    server_.addFault({.sticky = true}, FakeHttpServer::Fault::hang());
    QElapsedTimer elapsed;
    elapsed.start();
    const auto result = sync(200);
    EXPECT_LT(elapsed.elapsed(), 3 * 200 + 1500);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, u"failed"_s);
    EXPECT_EQ(countLines(u"[ERROR] Clock sync sample failed: "_s), 3);
}

TEST_F(ClockSyncManagerTest, RefusedConnectionsFailTheSamplesToo)
{
    config_.url = u"http://127.0.0.1:1/time"_s;
    const auto result = sync();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, u"failed"_s);
    EXPECT_EQ(countLines(u"[ERROR] Clock sync sample failed: Connection refused"_s), 3);
}

} // namespace
} // namespace ebbcast
