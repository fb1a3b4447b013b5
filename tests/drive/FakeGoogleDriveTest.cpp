#include "support/FakeGoogleDrive.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

TEST(FakeDriveSearchGrammar, ParsesTheClientsQueriesAndRefusesAnythingElse)
{
    const auto parsed = DriveSearchQuery::parse(
        u"mimeType = 'application/vnd.google-apps.folder' and trashed = false and 'p\\'1' in parents and "
        u"name = 'O\\'Brien \\\\ x'"_s);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->mimeType, u"application/vnd.google-apps.folder"_s);
    EXPECT_EQ(parsed->trashed, false);
    EXPECT_EQ(parsed->parentID, u"p'1"_s);
    EXPECT_EQ(parsed->name, u"O'Brien \\ x"_s);

    for (const QString& refused : {
             u"name = 'O'Brien'"_s,          // an unescaped quote ends the literal early
             u"name = 'a\\b'"_s,             // an escape other than \' and \\ .
             u"name = 'open"_s,              // no closing quote
             u"name = 'a' or name = 'b'"_s,  // only "and"
             u"name = 'a' and name = 'b'"_s, // a clause twice
             u"'p' in parents and"_s,        // a dangling "and"
             u"name contains 'a'"_s,         // another operator
             u"trashed = maybe"_s,
             u""_s,
         }) {
        EXPECT_FALSE(DriveSearchQuery::parse(refused).has_value()) << refused.toStdString();
    }
}

FakeHttpServer::Request request(QByteArray method, QByteArray target, QByteArray body = {},
                                QMap<QByteArray, QByteArray> headers = {})
{
    FakeHttpServer::Request result;
    result.method = std::move(method);
    result.target = target;
    const qsizetype question = target.indexOf('?');
    result.path = question < 0 ? target : target.first(question);
    result.query = question < 0 ? QByteArray() : target.sliced(question + 1);
    headers.insert("authorization", "Bearer drive-token");
    result.headers = headers;
    result.body = body;
    result.bodySize = body.size();
    return result;
}

struct FakeDriveBed {
    FakeHttpServer server;
    FakeGoogleDrive drive{server, {}};

    // Opens a session for `total` bytes and returns its target.
    QByteArray openSession(qint64 total)
    {
        const auto response =
            drive.answer(request("POST", "/upload/drive/v3/files?uploadType=resumable&supportsAllDrives=true",
                                 R"({"name":"a.mov","parents":["root-folder"]})",
                                 {{"content-type", "application/json; charset=UTF-8"},
                                  {"x-upload-content-type", "video/quicktime"},
                                  {"x-upload-content-length", QByteArray::number(total)}}));
        EXPECT_EQ(response.status, 200);
        for (const auto& [name, value] : response.headers) {
            if (name == "Location")
                return QUrl::fromEncoded(value).toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority);
        }
        ADD_FAILURE() << "no Location";
        return {};
    }
    int put(const QByteArray& target, qint64 start, const QByteArray& bytes, qint64 total)
    {
        const QByteArray range = bytes.isEmpty() ? QByteArray("bytes */" + QByteArray::number(total))
                                                 : QByteArray("bytes " + QByteArray::number(start) + '-' +
                                                              QByteArray::number(start + bytes.size() - 1) +
                                                              '/' + QByteArray::number(total));
        auto put = request("PUT", target, {},
                           {{"content-range", range}, {"content-length", QByteArray::number(bytes.size())}});
        put.bodySize = bytes.size();
        if (const auto sink = drive.bodySink(put)) {
            sink->take(bytes);
            put.bodySink = sink;
        }
        return drive.answer(put).status;
    }
};

TEST(FakeDriveSessions, HoldsChunksInOrderAndFlagsGapsAndOddChunkSizes)
{
    constexpr qint64 quarter = 256 * 1024;
    FakeDriveBed bed;
    const QByteArray session = bed.openSession(2 * quarter + 10);
    const QByteArray first(quarter, 'a');
    EXPECT_EQ(bed.put(session, 0, first, 2 * quarter + 10), 308);
    EXPECT_EQ(bed.put(session, 2 * quarter, QByteArray(10, 'c'), 2 * quarter + 10), 400); // a gap
    EXPECT_EQ(bed.put(session, quarter, QByteArray(1000, 'b'), 2 * quarter + 10),
              400); // not a final chunk, odd size
    EXPECT_EQ(bed.server.violations().size(), 2);
    EXPECT_EQ(bed.put(session, 0, {}, 2 * quarter + 10), 308); // a status query
    // A chunk may start before the held offset (a resend): the bytes it repeats are the same.
    EXPECT_EQ(
        bed.put(session, quarter - 5, QByteArray(5, 'a') + QByteArray(quarter - 5, 'b'), 2 * quarter + 10),
        308);
    EXPECT_EQ(bed.put(session, 2 * quarter - 5, QByteArray(5, 'b') + QByteArray(10, 'c'), 2 * quarter + 10),
              200);
    EXPECT_EQ(bed.drive.lastUpload()->size, 2 * quarter + 10);
    EXPECT_EQ(bed.drive.lastUpload()->sha256,
              QCryptographicHash::hash(QByteArray(first + QByteArray(quarter, 'b') + QByteArray(10, 'c')),
                                       QCryptographicHash::Sha256)
                  .toHex());
    EXPECT_EQ(bed.put(session, 0, {}, 2 * quarter + 10), 200); // finished: the status query names the file
    EXPECT_EQ(bed.put("/upload/drive/v3/files?uploadType=resumable&upload_id=unknown", 0, {}, 5), 404);
}

TEST(FakeDriveTokens, UnknownAndExpiredTokensGet401)
{
    FakeDriveBed bed;
    auto about = request("GET", "/drive/v3/about?fields=user%28displayName%2CemailAddress%29");
    EXPECT_EQ(bed.drive.answer(about).status, 200);
    bed.drive.expireToken(u"drive-token"_s);
    EXPECT_EQ(bed.drive.answer(about).status, 401);
    about.headers.insert("authorization", "Bearer other");
    EXPECT_EQ(bed.drive.answer(about).status, 401);
    EXPECT_TRUE(bed.server.violations().isEmpty());
}

TEST(FakeDriveQueries, APlusIsASpaceAsAtGoogle)
{
    FakeDriveBed bed;
    bed.drive.addFolder(u"a+b"_s, u"root-folder"_s);
    const QByteArray prefix =
        "/drive/v3/files?supportsAllDrives=true&includeItemsFromAllDrives=true&fields=files%28id%29&q=";
    const QString query = u"mimeType = 'application/vnd.google-apps.folder' and trashed = false and "
                          "'root-folder' in parents and name = 'a"_s;
    const auto plus = bed.drive.answer(request("GET", prefix + QUrl::toPercentEncoding(query) + "+b'"_ba));
    const auto encoded = bed.drive.answer(request("GET", prefix + QUrl::toPercentEncoding(query + u"+b'"_s)));
    EXPECT_EQ(QJsonDocument::fromJson(plus.body).object().value(u"files"_s).toArray().size(), 0);
    EXPECT_EQ(QJsonDocument::fromJson(encoded.body).object().value(u"files"_s).toArray().size(), 1);
}

} // namespace
} // namespace ebbcast::test
