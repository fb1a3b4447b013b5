#include "drive/DriveProtocol.h"

#include "drive/DriveWireTypes.h"
#include "drive/GoogleDriveError.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(DriveUploadedRange, AcceptsOnlyBytesFromZeroBelowTheTotal)
{
    constexpr qint64 total = 20'971'521;
    const struct {
        QByteArray header;
        std::optional<qint64> held;
    } rows[] = {
        {"bytes=0-0", 1},
        {"bytes=0-8388607", 8'388'608},
        {"bytes=0-20971520", total},
        {"bytes=0-20971521", std::nullopt}, // more than the file
        {"bytes=0-18446744073709551615", std::nullopt},
        {"bytes=0-9223372036854775807", std::nullopt}, // N + 1 would overflow
        {"bytes=0-99999999999999999999", std::nullopt},
        {"bytes=1-5", std::nullopt},
        {"bytes=0-", std::nullopt},
        {"bytes=0--5", std::nullopt},
        {"bytes=0-+5", std::nullopt},
        {"bytes=0- 5", std::nullopt},
        {"bytes=0-5 ", std::nullopt},
        {"bytes=0-5,7-9", std::nullopt},
        {"bytes 0-5", std::nullopt},
        {"Bytes=0-5", std::nullopt},
        {"0-5", std::nullopt},
        {"", std::nullopt},
        {"bytes=0-0x10", std::nullopt},
        {"bytes=0-\xd9\xa5", std::nullopt}, // a non-ASCII digit
    };
    for (const auto& row : rows)
        EXPECT_EQ(parseUploadedRange(row.header, total), row.held) << row.header.toStdString();
}

TEST(DriveUploadedRange, FuzzedHeadersNeverYieldMoreThanTheTotalOrNothingButDigitsForm)
{
    QRandomGenerator random(20'971'521);
    const QByteArray alphabet = "bytes=0-123456789 ,+-*/\x00\xff"_ba;
    for (int round = 0; round < 50'000; ++round) {
        QByteArray header = random.bounded(2) ? "bytes=0-"_ba : QByteArray();
        const int length = random.bounded(24);
        for (int i = 0; i < length; ++i)
            header += alphabet.at(random.bounded(alphabet.size()));
        const qint64 total = 1 + random.bounded(1'000'000'000);
        const std::optional<qint64> held = parseUploadedRange(header, total);
        if (!held)
            continue;
        ASSERT_GE(*held, 1) << header.toHex().toStdString();
        ASSERT_LE(*held, total) << header.toHex().toStdString();
        ASSERT_EQ(header, "bytes=0-" + QByteArray::number(*held - 1).rightJustified(header.size() - 8, '0'))
            << header.toHex().toStdString();
    }
}

TEST(DriveRetryAfter, TakesDelaySecondsOnly)
{
    EXPECT_EQ(parseRetryAfterSeconds("7"), 7);
    EXPECT_EQ(parseRetryAfterSeconds(" 120 "), 120);
    EXPECT_EQ(parseRetryAfterSeconds("Wed, 21 Oct 2015 07:28:00 GMT"), std::nullopt);
    EXPECT_EQ(parseRetryAfterSeconds("-1"), std::nullopt);
    EXPECT_EQ(parseRetryAfterSeconds(""), std::nullopt);
    EXPECT_EQ(parseRetryAfterSeconds("99999999999999999999"), std::nullopt);
}

TEST(DriveQueryLiteral, DoublesBackslashesBeforeEscapingQuotes)
{
    const struct {
        QString value;
        QString literal;
    } rows[] = {
        {u"Recordings"_s, u"'Recordings'"_s},
        {u"O'Brien"_s, u"'O\\'Brien'"_s},
        {u"back\\slash"_s, u"'back\\\\slash'"_s},
        {u"\\'"_s, u"'\\\\\\''"_s}, // not \\' (which would end the literal early)
        {u"' or name contains '"_s, u"'\\' or name contains \\''"_s},
        {u"Réunion 🎙"_s, u"'Réunion 🎙'"_s},
        {u""_s, u"''"_s},
    };
    for (const auto& row : rows)
        EXPECT_EQ(driveQueryLiteral(row.value), row.literal) << row.value.toStdString();
}

TEST(DriveQueryItems, EncodesEverythingButUnreservedCharactersInOrder)
{
    EXPECT_EQ(encodeQueryItems({{u"q"_s, u"a+b&c=d#e%f g"_s}, {u"fields"_s, u"files(id,name)"_s}}),
              u"q=a%2Bb%26c%3Dd%23e%25f%20g&fields=files%28id%2Cname%29"_s);
    EXPECT_EQ(encodeQueryItems({{u"q"_s, u"é🎙"_s}}), u"q=%C3%A9%F0%9F%8E%99"_s);
    EXPECT_EQ(encodeQueryItems({{u"a"_s, u"-._~"_s}, {u"b"_s, u""_s}}), u"a=-._~&b="_s);
}

TEST(DriveErrorMessage, PrefersDrivesMessageElseOneShortLineOfTheBody)
{
    const QStringList none;
    EXPECT_EQ(driveErrorMessage(R"({"error":{"code":403,"message":"The user has not granted access."}})", 403,
                                none),
              u"The user has not granted access."_s);
    EXPECT_EQ(driveErrorMessage("Bad\r\ngateway\tnow", 502, none), u"Bad  gateway now"_s);
    EXPECT_EQ(driveErrorMessage(QByteArray(1000, 'x'), 500, none), QString(200, u'x'));
    EXPECT_EQ(driveErrorMessage("\xff\xfe", 500, none), u"unknown error"_s);
    EXPECT_EQ(driveErrorMessage("", 503, none), u"HTTP 503"_s);
    EXPECT_EQ(driveErrorMessage(R"({"error":{"message":""}})", 400, none),
              u"{\"error\":{\"message\":\"\"}}"_s);
    // A cut never leaves half of a surrogate pair.
    const QString emoji = QString(199, u'a') + u"🎙🎙"_s;
    EXPECT_EQ(driveErrorMessage(emoji.toUtf8(), 500, none), QString(199, u'a') + u"🎙"_s);
}

TEST(DriveErrorMessage, RedactsEchoedSecrets)
{
    const QString message = driveErrorMessage(
        R"({"error":{"message":"token ya29.CANARY at https://x/upload?upload_id=SESSION-CANARY refused"}})",
        401, {u"ya29.CANARY"_s, u"SESSION-CANARY"_s});
    EXPECT_FALSE(message.contains(u"CANARY"_s)) << message.toStdString();
    EXPECT_TRUE(message.contains(u"[redacted]"_s));
}

TEST(DriveMimeType, FollowsTheExtensionCaseInsensitively)
{
    const struct {
        QString name;
        QString mimeType;
    } rows[] = {
        {u"screen.mov"_s, u"video/quicktime"_s},
        {u"SCREEN.MOV"_s, u"video/quicktime"_s},
        {u"system_audio.m4a"_s, u"audio/mp4"_s},
        {u"microphone.wav"_s, u"audio/wav"_s},
        {u"transcript.txt"_s, u"text/plain"_s},
        {u"summary.md"_s, u"text/markdown"_s},
        {u"session.json"_s, u"application/json"_s},
        {u"clip.mp4"_s, u"application/octet-stream"_s},
        {u"README"_s, u"application/octet-stream"_s},
        {u"archive.mov.gz"_s, u"application/octet-stream"_s},
        {u"folder.d/notes"_s, u"application/octet-stream"_s},
    };
    for (const auto& row : rows)
        EXPECT_EQ(driveMimeType(row.name), row.mimeType) << row.name.toStdString();
}

TEST(DriveWireTypes, RequestsHaveExactlyTheirKeys)
{
    EXPECT_EQ(DriveCreateFolderRequest({u"Ebbcast"_s, u"root"_s}).toJson(),
              R"({"mimeType":"application/vnd.google-apps.folder","name":"Ebbcast","parents":["root"]})");
    EXPECT_EQ(DriveUploadMetadata({u"a\"b.mov"_s, u"p"_s}).toJson(),
              R"({"name":"a\"b.mov","parents":["p"]})");
}

TEST(DriveWireTypes, RepliesAreReadStrictlyForWhatIsUsed)
{
    EXPECT_TRUE(DriveFileListResponse::decode(R"({"files":[]})").files.empty());
    const DriveFileListResponse list = DriveFileListResponse::decode(
        R"({"files":[{"id":"a","size":"12","md5Checksum":"m","x":1},{"id":"b"}]})");
    ASSERT_EQ(list.files.size(), 2u);
    EXPECT_EQ(list.files[0], (DriveFileEntry{u"a"_s, 12, u"m"_s}));
    EXPECT_EQ(list.files[1], (DriveFileEntry{u"b"_s, std::nullopt, std::nullopt}));

    for (const QByteArray& body :
         {"{}"_ba, R"({"files":{}})"_ba, R"({"files":[{"name":"x"}]})"_ba,
          R"({"files":[{"id":"a","size":"-1"}]})"_ba, R"({"files":[{"id":"a","size":"1e3"}]})"_ba,
          R"({"files":[{"id":""}]})"_ba, "not json"_ba, "[]"_ba}) {
        EXPECT_THROW(DriveFileListResponse::decode(body), GoogleDriveError) << body.toStdString();
    }
    EXPECT_THROW(DriveFileResponse::decode(R"({"id":5})"), GoogleDriveError);
    EXPECT_EQ(DriveFileResponse::decode(R"({"id":"x","kind":"drive#file"})").id, u"x"_s);
}

TEST(DriveWireTypes, AVideoIsProcessedWithVideoMetadataOrAThumbnail)
{
    const struct {
        QByteArray body;
        bool processed;
    } rows[] = {
        {R"({"id":"a","thumbnailLink":"https://t/1"})", true},
        {R"({"id":"a","videoMediaMetadata":{}})", true},
        {R"({"id":"a","videoMediaMetadata":{"width":1},"thumbnailLink":"t"})", true},
        {R"({"id":"a","name":"n","mimeType":"video/quicktime"})", false},
        {R"({"id":"a","thumbnailLink":null,"videoMediaMetadata":null})", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(DriveFileMetadata::decode(row.body).isProcessed(), row.processed) << row.body.toStdString();
    EXPECT_THROW(DriveFileMetadata::decode(R"({"id":"a","videoMediaMetadata":"yes"})"), GoogleDriveError);
}

} // namespace
} // namespace ebbcast
