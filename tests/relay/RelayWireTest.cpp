#include "core/documents/RecordingChunkMetadata.h"
#include "relay/OrderedJsonWriter.h"
#include "relay/PelkoNotifyResponse.h"
#include "relay/PelkoReadyPayload.h"
#include "relay/RelayEndpoint.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <limits>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QDateTime utc(const QString& text)
{
    return QDateTime::fromString(text, Qt::ISODate).toUTC();
}

TEST(RelayWire, AChunkTranscribedEventIsWrittenInDeclarationOrderWithoutAbsentMembers)
{
    RecordingChunkMetadata chunk;
    chunk.index = 3;
    chunk.kind = u"microphone"_s;
    chunk.startTime = utc(u"2026-01-05T10:10:00.750Z"_s); // fractions are dropped
    chunk.endTime = utc(u"2026-01-05T11:15:00+01:00"_s);
    chunk.duration = 300.25;
    chunk.clockOffsetMilliseconds = -12.5;
    chunk.ebbcastChunkID = u"c-3"_s;

    PelkoReadyPayload payload;
    payload.event = payload.kind = QString::fromLatin1(RelayEvent::chunkTranscribed);
    payload.notes = RelayWording::mention(u"  U12345 \n"_s) + u" Transcript ready for microphone chunk 3."_s;
    payload.recorderID = u"velno"_s;
    payload.recorderName = u"Desk \"A\""_s;
    payload.recordingName = payload.sessionID = u"2026-01-05_10-00-00"_s;
    payload.threadKey = RelayWording::threadKey(u"velno"_s, payload.sessionID);
    payload.threadTS = payload.parentThreadTS = u"1712.0001"_s;
    payload.idempotencyKey =
        RelayWording::eventKey(payload.threadKey, payload.event, ChunkRef{u"microphone"_s, 3});
    payload.setChunk(chunk);
    payload.transcriptArtifactID = 77;
    payload.driveURL = u"https://drive.google.com/file/d/a%2Fb/view"_s;

    const std::optional<QByteArray> body = payload.encode();
    ASSERT_TRUE(body);
    EXPECT_EQ(
        *body,
        R"({"event":"recording.chunk.transcribed","kind":"recording.chunk.transcribed","source":"ebb-cast",)"
        R"("track":"microphone","notes":"<@U12345> Transcript ready for microphone chunk 3.",)"
        R"("recorder_id":"velno","recorder_name":"Desk \"A\"","recording_name":"2026-01-05_10-00-00",)"
        R"("session_id":"2026-01-05_10-00-00","thread_key":"ebbcast:velno:2026-01-05_10-00-00",)"
        R"("thread_intent":"single_transcription_thread","thread_ts":"1712.0001",)"
        R"("parent_thread_ts":"1712.0001",)"
        R"("idempotency_key":"ebbcast:velno:2026-01-05_10-00-00:recording.chunk.transcribed:microphone:3",)"
        R"("chunk_index":3,"chunk_kind":"microphone","chunk_start_time":"2026-01-05T10:10:00Z",)"
        R"("chunk_end_time":"2026-01-05T10:15:00Z","chunk_duration":300.25,"clock_offset_ms":-12.5,)"
        R"("ebbcast_chunk_id":"c-3","transcript_artifact_id":77,)"
        R"("drive_url":"https://drive.google.com/file/d/a%2Fb/view"})");
    EXPECT_TRUE(QJsonDocument::fromJson(*body).isObject());

    payload.chunkDuration = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(payload.encode()) << "a body with a non-finite number is never sent";
}

TEST(RelayWire, StringsKeepSlashesAndEscapeEveryControlCharacter)
{
    const QString text = u"a/b \"q\" \\ \n\r\t\u0001\u001f é 😀"_s;
    const QByteArray quoted = OrderedJsonWriter::quoted(text);
    EXPECT_EQ(quoted, QByteArray("\"a/b \\\"q\\\" \\\\ \\n\\r\\t\\u0001\\u001f ") + u"é 😀\""_s.toUtf8());
    const QJsonDocument back = QJsonDocument::fromJson("{\"k\":" + quoted + "}");
    EXPECT_EQ(back.object().value(u"k"_s).toString(), text);
}

TEST(RelayWire, MentionsKeysAndPreviews)
{
    EXPECT_EQ(RelayWording::mention(u" \n "_s), u"@Pelko"_s);
    EXPECT_EQ(RelayWording::mention(u"\tU1 "_s), u"<@U1>"_s);
    EXPECT_EQ(RelayWording::eventKey(u"ebbcast:velno:s"_s, u"recording.transcript.ready"_s, std::nullopt),
              u"ebbcast:velno:s:recording.transcript.ready"_s);

    const QString emoji = u"👍🏽"_s; // one character on screen, four UTF-16 units
    struct Case {
        QString name;
        QString text;
        QString preview;
    };
    const QString a499 = QString(499, u'a');
    const QList<Case> cases = {
        {u"500 whole"_s, u"  \n"_s + QString(500, u'a') + u"\n "_s, QString(500, u'a')},
        {u"501 cut"_s, QString(501, u'a'), QString(500, u'a') + u"..."_s},
        {u"emoji at 500"_s, a499 + emoji + u"b"_s, a499 + emoji + u"..."_s},
        {u"emoji at 501"_s, a499 + u"b"_s + emoji, a499 + u"b..."_s},
        {u"emoji last of 500"_s, a499 + emoji, a499 + emoji},
        {u"empty"_s, u" "_s, QString()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RelayWording::transcriptPreview(c.text), c.preview) << c.name.toStdString();
}

TEST(RelayWire, OnlyValidThreadIdentifiersAreTakenInTheirOrderOfPreference)
{
    struct Case {
        QByteArray body;
        std::optional<QString> identifier;
    };
    const QList<Case> cases = {
        {R"({"ts":"1.1"})", u"1.1"_s},
        {R"({"ts":"1.1","thread_ts":"2.2"})", u"2.2"_s},
        {R"({"ts":"1.1","parent_thread_ts":"3.3"})", u"3.3"_s},
        {R"({"thread_ts":"","ts":"1.1"})", u"1.1"_s},
        {R"({"ts":17})", std::nullopt},
        {R"({"ts":"a\nb"})", std::nullopt},
        {R"({"ts":"a b"})", std::nullopt},
        {"{\"ts\":\"" + QByteArray(129, 'x') + "\"}", std::nullopt},
        {"{\"ts\":\"" + QByteArray(10'000, 'x') + "\"}", std::nullopt},
        {"{\"ts\":\"" + QByteArray(128, 'x') + "\"}", QString(128, u'x')},
        {"", std::nullopt},
        {"[\"ts\"]", std::nullopt},
        {"{\"ts\":\"1.1\"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PelkoNotifyResponse::decode(c.body).threadIdentifier(), c.identifier)
            << c.body.left(40).data();
}

TEST(RelayWire, RefusalExcerptsAreBoundedEscapedAndNeverShowTheToken)
{
    const QString token = u"sekrit-token-123"_s;
    EXPECT_EQ(escapedExcerpt("bad\nFAKE [INFO] line\r\x01\\", token),
              u"bad\\x0aFAKE [INFO] line\\x0d\\x01\\x5c"_s);
    EXPECT_EQ(escapedExcerpt("echo: Bearer sekrit-token-123!", token), u"echo: Bearer ***!"_s);
    EXPECT_EQ(escapedExcerpt("caf\xc3\xa9 \xff", token), u"café \\xff"_s);

    const QByteArray huge = QByteArray(600, 'x');
    EXPECT_EQ(escapedExcerpt(huge, token), QString(512, u'x') + u"..."_s);

    // A token (or the start of one) reaching across the limit shows no part of itself.
    const QByteArray partial = QByteArray(508, 'y') + token.toUtf8().left(9);
    const QString excerpt = escapedExcerpt(partial, token);
    EXPECT_FALSE(excerpt.contains(u"sek"_s)) << excerpt.toStdString();
    EXPECT_TRUE(excerpt.endsWith(u"***..."_s)) << excerpt.toStdString();
    const QString whole = escapedExcerpt(QByteArray(510, 'y') + token.toUtf8() + "tail", token);
    EXPECT_FALSE(whole.contains(u"sek"_s)) << whole.toStdString();
    EXPECT_TRUE(excerpt.endsWith(u"***..."_s)) << excerpt.toStdString();
}

TEST(RelayWire, TheEndpointIsTakenFromTheEnvironmentThenTheBuildAndMustBeSafe)
{
    using Status = RelayEndpoint::Status;
    struct Case {
        std::optional<QString> environment;
        QString compiled;
        Status status;
    };
    const QList<Case> cases = {
        {std::nullopt, QString(), Status::notConfigured},
        {u""_s, u"https://relay.example/corvane/api/v1/pelko/notify"_s, Status::notConfigured},
        {std::nullopt, u"https://relay.example/corvane/api/v1/pelko/notify"_s, Status::configured},
        {u"http://127.0.0.1:9/n"_s, u"https://relay.example/n"_s, Status::configured},
        {u"http://[::1]:9/n"_s, QString(), Status::configured},
        {u"http://localhost/n"_s, QString(), Status::configured},
        {u"http://relay.example/n"_s, QString(), Status::refused},
        {u"http://127.0.0.1.example/n"_s, QString(), Status::refused},
        {u"https://user:pw@relay.example/n"_s, QString(), Status::refused},
        {u"https://relay.example/n#x"_s, QString(), Status::refused},
        {u"ftp://relay.example/n"_s, QString(), Status::refused},
        {u"relay.example/n"_s, QString(), Status::refused},
        {std::nullopt, u"http://relay.example/n"_s, Status::refused},
    };
    for (const Case& c : cases) {
        QProcessEnvironment environment;
        if (c.environment)
            environment.insert(u"EBBCAST_RELAY_URL"_s, *c.environment);
        const RelayEndpoint endpoint = RelayEndpoint::resolve(environment, c.compiled);
        const std::string name =
            c.environment.value_or(u"(unset)"_s).toStdString() + " / " + c.compiled.toStdString();
        EXPECT_EQ(endpoint.status, c.status) << name;
        EXPECT_EQ(endpoint.url.isEmpty(), c.status != Status::configured) << name;
        if (c.status == Status::refused) {
            EXPECT_TRUE(endpoint.logLine.contains(u"EBBCAST_RELAY_URL"_s)) << name;
        }
    }
}

} // namespace
} // namespace ebbcast
