#include "app/UpdateChecker.h"

#include "support/FakeHttpServer.h"
#include "support/RunTask.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>

#include <gtest/gtest.h>

#include <variant>

using namespace Qt::StringLiterals;

// The update checker against a strict fake feed: a plain GET without body, credentials or cookies.

namespace ebbcast {
namespace {

using test::FakeHttpServer;

class UpdateCheckerTest : public ::testing::Test {
protected:
    UpdateCheckerTest()
    {
        server_.setHandler([this](const FakeHttpServer::Request& request) {
            if (request.method != "GET" || request.bodySize != 0 ||
                !request.header("authorization").isEmpty() || !request.header("cookie").isEmpty())
                strictness_.append(QString::fromLatin1(request.method + ' ' + request.target));
            ++requests_;
            return reply_;
        });
    }

    QString feedURL() const { return server_.url(u"/feed.json"_s).toString(); }

    // Checks against the fake with the running version and build given; the result, or the error's text.
    std::variant<UpdateCheckResult, QString> check(const QString& feed, const QString& version = u"1.2.0"_s,
                                                   const QString& build = u"41"_s, int timeoutMs = 5000)
    {
        UpdateChecker checker([feed] { return feed; }, network_,
                              {.timeoutMs = timeoutMs,
                               .bodyLimitBytes = 1024 * 1024,
                               .downloadHosts = {u"downloads.example"_s},
                               .currentVersion = version,
                               .currentBuild = build});
        try {
            return test::runTask(checker.checkForUpdate());
        } catch (const UpdateCheckError& error) {
            return error.description();
        }
    }

    void feed(const QByteArray& json, int status = 200) { reply_ = FakeHttpServer::Response{status, json}; }

    FakeHttpServer server_;
    QNetworkAccessManager network_;
    FakeHttpServer::Response reply_;
    QStringList strictness_;
    int requests_ = 0;
};

TEST(UpdateVersions, ComparePieceByPieceAsDigitStrings)
{
    const struct {
        QString a;
        QString b;
        int order;
    } cases[] = {
        {u"1.10"_s, u"1.9"_s, 1},
        {u"1.2"_s, u"1.2.0"_s, 0},
        {u"1..2"_s, u"1.2"_s, 0},
        {u"01.2"_s, u"1.2"_s, 0},
        {u"1.99999999999999999999"_s, u"1.1"_s, 1},
        {u"1.100000000000000000000"_s, u"1.99999999999999999999"_s, 1},
        {u"2-beta"_s, u"1"_s, -1},
        {u"1.2-beta"_s, u"1.0"_s, 0},
        {u""_s, u"0"_s, 0},
        {u"+1"_s, u"0"_s, 0},
        {u"2.0"_s, u"1.9.9"_s, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QString(c.a + u" vs "_s + c.b).toStdString());
        EXPECT_EQ(UpdateChecker::compareVersions(c.a, c.b), c.order);
        EXPECT_EQ(UpdateChecker::compareVersions(c.b, c.a), -c.order);
    }
}

TEST_F(UpdateCheckerTest, BuildsDecideThenVersions)
{
    const struct {
        QString version;
        qint64 build;
        QString runningVersion;
        QString runningBuild;
        bool available;
    } cases[] = {
        {u"1.0"_s, 42, u"2.0"_s, u"41"_s, true},     // a higher build wins over a lower version
        {u"2.0"_s, 41, u"1.9.9"_s, u"41"_s, true},   // equal builds: the version decides
        {u"1.2"_s, 41, u"1.2.0"_s, u"41"_s, false},  // equal versions
        {u"9.9"_s, 40, u"1.0"_s, u"41"_s, false},    // the running build is newer
        {u"0.1"_s, 1, u"1.0"_s, u"nightly"_s, true}, // a running build that is no number counts as 0
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version.toStdString());
        const QJsonObject object{{u"version"_s, c.version},
                                 {u"build"_s, c.build},
                                 {u"url"_s, server_.url(u"/get/ebbcast.deb"_s).toString()}};
        feed(QJsonDocument(object).toJson(QJsonDocument::Compact));
        const auto outcome = check(feedURL(), c.runningVersion, c.runningBuild);
        ASSERT_TRUE(std::holds_alternative<UpdateCheckResult>(outcome))
            << std::get<QString>(outcome).toStdString();
        const auto& result = std::get<UpdateCheckResult>(outcome);
        EXPECT_EQ(result.isUpdateAvailable, c.available);
        EXPECT_EQ(result.latestBuild, c.build);
        EXPECT_EQ(result.notes, QString()) << "no notes in the feed";
    }
    EXPECT_TRUE(strictness_.isEmpty()) << strictness_.join(u", "_s).toStdString();
}

TEST_F(UpdateCheckerTest, FeedAddressesThatAreNotAskedAtAll)
{
    feed(R"({"version":"2.0","build":50,"url":"https://downloads.example/e.deb"})");
    EXPECT_EQ(std::get<QString>(check(u""_s)),
              u"No update feed URL is configured. Add one in Preferences."_s);
    EXPECT_EQ(std::get<QString>(check(u"  \n"_s)),
              u"No update feed URL is configured. Add one in Preferences."_s);
    EXPECT_EQ(std::get<QString>(check(u"http://updates.example/feed.json"_s)),
              u"Update check failed: the update feed address must use https"_s);
    EXPECT_EQ(std::get<QString>(check(u"ftp://updates.example/feed.json"_s)),
              u"Update check failed: the update feed address must use https"_s);
    EXPECT_EQ(requests_, 0);
}

TEST_F(UpdateCheckerTest, DownloadLinksOnlyToTrustedHostsOverHttps)
{
    const QString feedHost = server_.url().host();
    const QString port = QString::number(server_.url().port());
    const QStringList hostile{
        u"file:///etc/passwd"_s,
        u"javascript:alert(1)"_s,
        u"https://elsewhere.example/e.deb"_s,
        u"http://elsewhere.example/e.deb"_s,
        u"https://"_s + feedHost + u".evil.example/"_s,
        u"https://"_s + feedHost + u"@evil.example/"_s,
        u"https://user@downloads.example/e.deb"_s,
        u"/relative/e.deb"_s,
        u"e.deb"_s,
        u"https://downloads.example/e .deb"_s,
        u"https://downloads.example/e.deb\n"_s,
        u""_s,
    };
    for (const QString& url : hostile) {
        SCOPED_TRACE(url.toStdString());
        QJsonObject object{{u"version"_s, u"2.0"_s}, {u"build"_s, 50}, {u"url"_s, url}};
        feed(QJsonDocument(object).toJson(QJsonDocument::Compact));
        EXPECT_EQ(std::get<QString>(check(feedURL())),
                  u"The update feed did not include a valid download URL."_s);
    }
    for (const QString& url : QStringList{u"https://downloads.example/e.deb"_s,
                                          u"http://"_s + feedHost + u':' + port + u"/e.deb"_s}) {
        SCOPED_TRACE(url.toStdString());
        QJsonObject object{
            {u"version"_s, u"2.0"_s}, {u"build"_s, 50}, {u"url"_s, url}, {u"notes"_s, u"new\n\u0007bell"_s}};
        feed(QJsonDocument(object).toJson(QJsonDocument::Compact));
        const auto outcome = check(feedURL());
        ASSERT_TRUE(std::holds_alternative<UpdateCheckResult>(outcome))
            << std::get<QString>(outcome).toStdString();
        EXPECT_EQ(std::get<UpdateCheckResult>(outcome).downloadURL, QUrl(url));
        EXPECT_EQ(std::get<UpdateCheckResult>(outcome).notes, u"new\nbell"_s);
    }
}

TEST_F(UpdateCheckerTest, MalformedFeedsAndErrorReplies)
{
    const QByteArray url = "\"" + server_.url(u"/e.deb"_s).toString().toUtf8() + "\"";
    const struct {
        QByteArray body;
        int status;
        QString error;
    } cases[] = {
        {"[1,2]", 200, u"The update feed could not be read: it is not a JSON object."_s},
        {R"({"version":"2","build":"50","url":)" + url + "}", 200,
         u"The update feed could not be read: \"build\" has the wrong type."_s},
        {R"({"version":"2","build":42.5,"url":)" + url + "}", 200,
         u"The update feed could not be read: \"build\" has the wrong type."_s},
        {R"({"version":"2","build":99999999999999999999,"url":)" + url + "}", 200,
         u"The update feed could not be read: \"build\" has the wrong type."_s},
        {R"({"version":"2","build":50})", 200, u"The update feed could not be read: \"url\" is missing."_s},
        {R"({"build":50,"url":)" + url + "}", 200,
         u"The update feed could not be read: \"version\" is missing."_s},
        {R"({"version":"2","build":50,"url":)" + url + R"(,"notes":7})", 200,
         u"The update feed could not be read: \"notes\" has the wrong type."_s},
        {R"({"version":"2","build":50,"url":)" + url + "} trailing", 200,
         u"The update feed could not be read: it is not JSON (garbage at the end of the document)."_s},
        {"Not Found\r\n<b>page</b>", 404, u"Update check failed: Not Found <b>page</b>"_s},
        {"", 503, u"Update check failed: HTTP 503"_s},
        {"\xff\xfe", 500, u"Update check failed: unknown error"_s},
        {QByteArray(300, 'x'), 500, u"Update check failed: "_s + QString(200, u'x')},
        {QByteArray(1024 * 1024 + 1, 'x'), 500,
         u"Update check failed: the reply is larger than 1048576 bytes"_s},
        {QByteArray(2 * 1024 * 1024, ' '), 200,
         u"Update check failed: the reply is larger than 1048576 bytes"_s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.left(60).toStdString());
        feed(c.body, c.status);
        EXPECT_EQ(std::get<QString>(check(feedURL())), c.error);
    }
    EXPECT_TRUE(strictness_.isEmpty());
}

TEST_F(UpdateCheckerTest, ASilentServerEndsAtTheTimeOut)
{
    reply_.fault = FakeHttpServer::Fault::hang();
    const auto outcome = check(feedURL(), u"1.0"_s, u"1"_s, 300);
    ASSERT_TRUE(std::holds_alternative<QString>(outcome));
    EXPECT_TRUE(std::get<QString>(outcome).startsWith(u"Update check failed: no reply within"_s))
        << std::get<QString>(outcome).toStdString();
    server_.releaseHangs();
}

} // namespace
} // namespace ebbcast
