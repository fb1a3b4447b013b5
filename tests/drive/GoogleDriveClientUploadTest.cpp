#include "DriveTestBed.h"
#include "core/base/FileError.h"
#include "drive/GoogleDriveClient.h"
#include "drive/GoogleDriveError.h"
#include "drive/UploadSource.h"
#include "support/RunTask.h"

#include <QCryptographicHash>
#include <QFile>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

using test::DriveTestBed;
using test::FakeGoogleDrive;
using test::FakeHttpServer;
using test::runTask;
using Fault = FakeGoogleDrive::Fault;
using Route = FakeGoogleDrive::Route;

constexpr qint64 chunk = DriveTestBed::smallChunk;
constexpr qint64 fiveChunks = 4 * chunk + 1000; // four full chunks and a short last one

QByteArray sha256Of(const QString& path)
{
    return QCryptographicHash::hash(test::TemporaryFolder::readAll(path), QCryptographicHash::Sha256).toHex();
}

QList<QByteArray> contentRanges(const FakeGoogleDrive& drive)
{
    QList<QByteArray> ranges;
    for (const auto& exchange : drive.exchangesTo(Route::chunk))
        ranges.append(exchange.contentRange);
    return ranges;
}

QString violations(const FakeHttpServer& server)
{
    return server.violations().join(u'\n');
}

// Uploads the file and checks that Drive holds exactly its bytes.
void expectDelivered(DriveTestBed& bed, const QString& path, const QString& id)
{
    const std::optional<FakeGoogleDrive::Item> upload = bed.drive.lastUpload();
    ASSERT_TRUE(upload.has_value());
    EXPECT_EQ(upload->id, id);
    EXPECT_EQ(upload->sha256, sha256Of(path));
    EXPECT_TRUE(bed.server.violations().isEmpty()) << violations(bed.server).toStdString();
}

TEST(GoogleDriveUploadRealSizes, TwentyMebibytesGoInOneRequestOneByteMoreInThreeChunks)
{
    DriveTestBed bed(GoogleDriveClient::Options{});
    const QString small = bed.patternFile(u"microphone.wav"_s, 20'971'520);
    const QString id = runTask(bed.client->uploadFile(small, u"root-folder"_s));
    expectDelivered(bed, small, id);
    EXPECT_EQ(bed.drive.exchangesTo(Route::multipart).size(), 1);
    EXPECT_EQ(bed.drive.item(id)->mimeType, u"audio/wav"_s);

    const QString large = bed.patternFile(u"screen.MOV"_s, 20'971'521);
    QList<qint64> progress;
    GoogleDriveClient::UploadOptions options;
    options.progress = [&progress](qint64 sent, qint64 total) {
        EXPECT_EQ(total, 20'971'521);
        progress.append(sent);
    };
    const QString largeID = runTask(bed.client->uploadFile(large, u"root-folder"_s, std::nullopt, options));
    expectDelivered(bed, large, largeID);
    EXPECT_EQ(contentRanges(bed.drive),
              (QList<QByteArray>{"bytes 0-8388607/20971521", "bytes 8388608-16777215/20971521",
                                 "bytes 16777216-20971520/20971521"}));
    EXPECT_EQ(bed.drive.item(largeID)->mimeType, u"video/quicktime"_s);
    const auto sessions = bed.drive.exchangesTo(Route::sessionStart);
    ASSERT_EQ(sessions.size(), 1);
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last(), 20'971'521);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_TRUE(bed.pauses.isEmpty());
}

TEST(GoogleDriveUploadMultipart, NamesMimeTypesAndAMissingFile)
{
    DriveTestBed bed;
    const QString path = bed.patternFile(u"notes.txt"_s, 1000);
    for (const QString& name : {u"O'Brien \\ \"quoted\" + & = # %.md"_s, u"Réunion 🎙.json"_s}) {
        const QString id = runTask(bed.client->uploadFile(path, u"root-folder"_s, name));
        expectDelivered(bed, path, id);
        EXPECT_EQ(bed.drive.item(id)->name, name);
        EXPECT_EQ(bed.drive.item(id)->mimeType,
                  name.endsWith(u".md"_s) ? u"text/markdown"_s : u"application/json"_s);
    }
    const QString empty = bed.patternFile(u"empty"_s, 0);
    const QString id = runTask(bed.client->uploadFile(empty, u"root-folder"_s));
    EXPECT_EQ(bed.drive.item(id)->size, 0);
    EXPECT_EQ(bed.drive.item(id)->mimeType, u"application/octet-stream"_s);

    EXPECT_THROW(runTask(bed.client->uploadFile(bed.folder.file(u"missing.wav"_s), u"root-folder"_s)),
                 FileError);
    EXPECT_THROW(runTask(bed.client->uploadFile(bed.folder.path(), u"root-folder"_s)), FileError);
}

TEST(GoogleDriveUploadRetry, AChunkFailingFourTimesIsDeliveredAfterPausesOfTwoFourSixEightSeconds)
{
    DriveTestBed bed;
    const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
    for (int request = 2; request <= 5; ++request)
        bed.drive.addFault(Route::chunk, request, Fault::withStatus(request == 3 ? 400 : 503));
    const QString id = runTask(bed.client->uploadFile(path, u"root-folder"_s));
    expectDelivered(bed, path, id);
    EXPECT_EQ(bed.pauses, (QList<std::chrono::milliseconds>{2s, 4s, 6s, 8s}));
    const QList<QByteArray> ranges = contentRanges(bed.drive);
    ASSERT_EQ(ranges.size(), 9);
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(ranges[i], "bytes 262144-524287/" + QByteArray::number(fiveChunks)); // the very same chunk
    EXPECT_TRUE(bed.drive.exchangesTo(Route::statusQuery).isEmpty());
}

TEST(GoogleDriveUploadRetry, TheFifthFailedSendEndsTheUploadWithItsErrorAndNoSixthSend)
{
    DriveTestBed bed;
    const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
    bed.drive.addFault(Route::chunk, 2, Fault::withStatus(500, u"Backend Error"_s), true);
    try {
        runTask(bed.client->uploadFile(path, u"root-folder"_s));
        FAIL() << "no error";
    } catch (const GoogleDriveError& error) {
        EXPECT_EQ(error.description(), u"Google Drive request failed: Backend Error"_s);
        EXPECT_EQ(error.httpStatus(), 500);
    }
    EXPECT_EQ(bed.drive.exchangesTo(Route::chunk).size(), 6);
    EXPECT_EQ(bed.pauses.size(), 4);
}

TEST(GoogleDriveUploadRetry, AChunkThatAlwaysHangsEndsAfterFiveSendsWithAQuestionBetweenEach)
{
    GoogleDriveClient::Options options = DriveTestBed::smallOptions();
    options.transferTimeoutMs = static_cast<int>(300 * test::timingScale());
    DriveTestBed bed(options);
    const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
    bed.drive.addFault(Route::chunk, 2, Fault::hang(), true);
    try {
        runTask(bed.client->uploadFile(path, u"root-folder"_s));
        FAIL() << "no error";
    } catch (const GoogleDriveError& error) {
        EXPECT_TRUE(error.description().startsWith(u"Google Drive request failed: no answer within "_s))
            << error.description().toStdString();
    }
    EXPECT_EQ(bed.drive.exchangesTo(Route::chunk).size(), 6);
    EXPECT_EQ(bed.drive.exchangesTo(Route::statusQuery).size(), 4);
    EXPECT_EQ(bed.pauses, (QList<std::chrono::milliseconds>{2s, 4s, 6s, 8s}));
}

TEST(GoogleDriveUploadRetry, RetryAfterLengthensAPauseUpToAMinute)
{
    DriveTestBed bed;
    const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
    bed.drive.addFault(Route::chunk, 1, Fault::tooManyRequests(30));
    bed.drive.addFault(Route::chunk, 3, Fault::tooManyRequests(1));
    bed.drive.addFault(Route::chunk, 5, Fault::tooManyRequests(86'400));
    const QString id = runTask(bed.client->uploadFile(path, u"root-folder"_s));
    expectDelivered(bed, path, id);
    EXPECT_EQ(bed.pauses, (QList<std::chrono::milliseconds>{30s, 2s, 60s}));
}

TEST(GoogleDriveUploadAcknowledgements, DriveReceivesEveryByteWhateverItAcknowledges)
{
    const struct {
        const char* name;
        int chunkRequest;
        Fault fault;
        int pauses;
    } rows[] = {
        {"short acknowledgement", 2, Fault::shortAcknowledgement(1000), 0},
        {"acknowledgement of one byte", 1, Fault::shortAcknowledgement(1), 0},
        {"308 without Range: nothing held", 3, Fault::noRange(), 1},
        {"Range of 2^64 - 1", 2, Fault::hugeRange(), 1},
        {"hang with half the chunk held", 2, Fault::hang(chunk / 2), 1},
        {"hang with nothing held", 1, Fault::hang(0), 1},
        {"the answer to the last chunk cut", 5, Fault::drop(-1), 1},
        {"the answer to a chunk cut, part of it held", 2, Fault::drop(12345), 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DriveTestBed bed;
        const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
        bed.drive.addFault(Route::chunk, row.chunkRequest, row.fault);
        const QString id = runTask(bed.client->uploadFile(path, u"root-folder"_s));
        expectDelivered(bed, path, id);
        EXPECT_EQ(bed.pauses.size(), row.pauses);
        EXPECT_EQ(bed.drive.exchangesTo(Route::statusQuery).size(),
                  row.pauses == 1 && row.fault.kind != Fault::Kind::status &&
                          row.fault.kind != Fault::Kind::noRange && row.fault.kind != Fault::Kind::hugeRange
                      ? 1
                      : 0);
    }
}

TEST(GoogleDriveUploadAcknowledgements, AConnectionResetBeforeAnyAnswerLosesNoByte)
{
    // The network layer may send the chunk again by itself; either way Drive ends up with the file.
    for (const qint64 kept : {qint64{0}, qint64{777}, qint64{-1}}) {
        SCOPED_TRACE(kept);
        DriveTestBed bed;
        const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
        bed.drive.addFault(Route::chunk, 3, Fault::reset(kept));
        expectDelivered(bed, path, runTask(bed.client->uploadFile(path, u"root-folder"_s)));
        EXPECT_LE(bed.pauses.size(), 1);
    }
}

// A scripted Drive: the session start, then the answers given in order to the PUTs.
struct ScriptedDrive {
    DriveTestBed bed;
    QList<FakeHttpServer::Response> answers;
    QList<FakeHttpServer::Request> puts;

    ScriptedDrive()
    {
        bed.server.setHandler([this](const FakeHttpServer::Request& request) {
            FakeHttpServer::Response response;
            if (request.method == "POST") {
                response.headers.append(
                    {"Location",
                     bed.server.url(u"/upload/drive/v3/files?upload_id=session-secret-123"_s).toEncoded()});
                return response;
            }
            puts.append(request);
            return answers.isEmpty() ? FakeHttpServer::Response{500, "script ended"} : answers.takeFirst();
        });
    }
    static FakeHttpServer::Response incomplete(qint64 held)
    {
        FakeHttpServer::Response response{308, {}, {}};
        response.headers.append({"Range", "bytes=0-" + QByteArray::number(held - 1)});
        return response;
    }
};

TEST(GoogleDriveUploadAcknowledgements, AnEarlyFinishIsTheFileAndMoreThanWasSentIsAFailedSend)
{
    {
        ScriptedDrive drive;
        drive.answers = {{200, R"({"id":"early"})"}};
        const QString path = drive.bed.patternFile(u"a.mov"_s, fiveChunks);
        EXPECT_EQ(runTask(drive.bed.client->uploadFile(path, u"p"_s)), u"early"_s);
        EXPECT_EQ(drive.puts.size(), 1);
    }
    {
        ScriptedDrive drive;
        drive.answers = {ScriptedDrive::incomplete(chunk + 5),
                         ScriptedDrive::incomplete(chunk),
                         {200, R"({"id":"done"})"}};
        const QString path = drive.bed.patternFile(u"a.mov"_s, fiveChunks);
        EXPECT_EQ(runTask(drive.bed.client->uploadFile(path, u"p"_s)), u"done"_s);
        ASSERT_EQ(drive.puts.size(), 3);
        EXPECT_EQ(drive.puts[0].header("content-range"), drive.puts[1].header("content-range"));
        EXPECT_EQ(drive.bed.pauses.size(), 1);
    }
}

TEST(GoogleDriveUploadAcknowledgements, WithEveryByteHeldButNoFileTheClientAsksOnce)
{
    const qint64 size = 3 * chunk;
    {
        ScriptedDrive drive;
        drive.answers = {ScriptedDrive::incomplete(chunk),
                         ScriptedDrive::incomplete(2 * chunk),
                         ScriptedDrive::incomplete(size),
                         {201, R"({"id":"asked"})"}};
        EXPECT_EQ(runTask(drive.bed.client->uploadFile(drive.bed.patternFile(u"a.mov"_s, size), u"p"_s)),
                  u"asked"_s);
        ASSERT_EQ(drive.puts.size(), 4);
        EXPECT_EQ(drive.puts[3].header("content-range"), "bytes */" + QByteArray::number(size));
        EXPECT_EQ(drive.puts[3].bodySize, 0);
    }
    {
        ScriptedDrive drive;
        drive.answers = {ScriptedDrive::incomplete(chunk), ScriptedDrive::incomplete(2 * chunk),
                         ScriptedDrive::incomplete(size), ScriptedDrive::incomplete(size)};
        try {
            runTask(drive.bed.client->uploadFile(drive.bed.patternFile(u"a.mov"_s, size), u"p"_s));
            FAIL() << "no error";
        } catch (const GoogleDriveError& error) {
            EXPECT_EQ(
                error.description(),
                u"Google Drive request failed: Resumable upload completed without a Drive file response for a.mov"_s);
        }
        EXPECT_EQ(drive.puts.size(), 4);
    }
}

TEST(GoogleDriveUploadSessions, AnExpiredSessionIsReplacedOnceFromTheStart)
{
    DriveTestBed bed;
    const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
    bed.drive.addFault(Route::chunk, 3, Fault::withStatus(404, u"Not Found"_s));
    QList<QUrl> started;
    GoogleDriveClient::UploadOptions options;
    options.onSessionStarted = [&started](const DriveUploadSession& session) {
        started.append(session.sessionURL);
    };
    const QString id = runTask(bed.client->uploadFile(path, u"root-folder"_s, std::nullopt, options));
    expectDelivered(bed, path, id);
    ASSERT_EQ(started.size(), 2);
    EXPECT_NE(started[0], started[1]);
    EXPECT_EQ(contentRanges(bed.drive)[3], "bytes 0-262143/" + QByteArray::number(fiveChunks));

    bed.drive.addFault(Route::chunk, 1, Fault::withStatus(410, u"Gone"_s), true);
    EXPECT_THROW(runTask(bed.client->uploadFile(path, u"root-folder"_s)), GoogleDriveError);
    EXPECT_EQ(bed.drive.exchangesTo(Route::sessionStart).size(), 4);
}

TEST(GoogleDriveUploadSessions, ASessionAddressOffTheApiOriginGetsNothing)
{
    FakeHttpServer elsewhere;
    DriveTestBed bed;
    const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
    bed.drive.addFault(Route::sessionStart, 1,
                       Fault::foreignLocation(elsewhere.url(u"/upload/drive/v3/files?upload_id=x"_s)));
    try {
        runTask(bed.client->uploadFile(path, u"root-folder"_s));
        FAIL() << "no error";
    } catch (const GoogleDriveError& error) {
        EXPECT_EQ(error.description(),
                  u"Google Drive request failed: Google Drive did not return a resumable upload URL"_s);
    }
    EXPECT_TRUE(elsewhere.requests().isEmpty());
    EXPECT_TRUE(bed.drive.exchangesTo(Route::chunk).isEmpty());

    // Nor is an earlier session on another origin resumed: the upload starts over on Drive.
    const UploadSource::Attributes attributes = UploadSource::attributes(path);
    GoogleDriveClient::UploadOptions options;
    options.resume =
        DriveUploadSession{elsewhere.url(u"/upload?upload_id=x"_s), attributes.size, attributes.modified};
    expectDelivered(bed, path,
                    runTask(bed.client->uploadFile(path, u"root-folder"_s, std::nullopt, options)));
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

TEST(GoogleDriveUploadSessions, AnEarlierSessionIsResumedOnlyForTheSameFile)
{
    DriveTestBed bed;
    const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
    bed.drive.addFault(Route::chunk, 3, Fault::withStatus(503), true);
    std::optional<DriveUploadSession> session;
    GoogleDriveClient::UploadOptions first;
    first.onSessionStarted = [&session](const DriveUploadSession& started) {
        session = started;
    };
    EXPECT_THROW(runTask(bed.client->uploadFile(path, u"root-folder"_s, std::nullopt, first)),
                 GoogleDriveError);
    ASSERT_TRUE(session.has_value());
    bed.drive.clearFaults();

    GoogleDriveClient::UploadOptions resumed;
    resumed.resume = session;
    bool startedAgain = false;
    resumed.onSessionStarted = [&startedAgain](const DriveUploadSession&) {
        startedAgain = true;
    };
    const QString id = runTask(bed.client->uploadFile(path, u"root-folder"_s, std::nullopt, resumed));
    expectDelivered(bed, path, id);
    EXPECT_FALSE(startedAgain);
    EXPECT_EQ(bed.drive.exchangesTo(Route::sessionStart).size(), 1);
    EXPECT_EQ(bed.drive.exchangesTo(Route::statusQuery).size(), 1);
    EXPECT_EQ(contentRanges(bed.drive).last(),
              "bytes 1048576-" + QByteArray::number(fiveChunks - 1) + "/" + QByteArray::number(fiveChunks));

    // The same size but another modification time: a new session from the start.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(session->modified.addSecs(-60), QFileDevice::FileModificationTime));
    file.close();
    const QString again = runTask(bed.client->uploadFile(path, u"root-folder"_s, std::nullopt, resumed));
    expectDelivered(bed, path, again);
    EXPECT_TRUE(startedAgain);
    EXPECT_EQ(bed.drive.exchangesTo(Route::statusQuery).size(), 1);
}

TEST(GoogleDriveUploadTokens, OneTokenPerUploadAndA401IsResentOnceUncounted)
{
    DriveTestBed bed;
    const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
    bed.drive.addFault(Route::chunk, 2, Fault::unauthorized());
    bed.drive.addFault(Route::chunk, 4, Fault::unauthorized());
    const QString id = runTask(bed.client->uploadFile(path, u"root-folder"_s));
    expectDelivered(bed, path, id);
    EXPECT_EQ(bed.tokens.validCalls, 1);
    EXPECT_EQ(bed.tokens.rejected, (QStringList{u"drive-token"_s, u"drive-token-2"_s}));
    EXPECT_TRUE(bed.pauses.isEmpty());
    const auto chunks = bed.drive.exchangesTo(Route::chunk);
    EXPECT_EQ(chunks.first().token, "drive-token");
    EXPECT_EQ(chunks.last().token, "drive-token-2");

    // Two 401s in a row for one chunk: the second counts as a failed send.
    DriveTestBed twice;
    twice.drive.addFault(Route::chunk, 1, Fault::unauthorized());
    twice.drive.addFault(Route::chunk, 2, Fault::unauthorized());
    expectDelivered(twice, path, runTask(twice.client->uploadFile(path, u"root-folder"_s)));
    EXPECT_EQ(twice.pauses.size(), 1);
}

TEST(GoogleDriveUploadFiles, AFileThatChangesSizeWhileUploadingFails)
{
    for (const qint64 change : {qint64{+1}, qint64{-1}, -3 * chunk}) {
        SCOPED_TRACE(change);
        DriveTestBed bed;
        const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
        GoogleDriveClient::UploadOptions options;
        bool changed = false;
        options.progress = [&](qint64 sent, qint64) {
            if (changed || sent < chunk)
                return;
            changed = true;
            QFile file(path);
            ASSERT_TRUE(file.resize(fiveChunks + change));
        };
        try {
            runTask(bed.client->uploadFile(path, u"root-folder"_s, std::nullopt, options));
            FAIL() << "no error";
        } catch (const GoogleDriveError& error) {
            EXPECT_EQ(error.code(), GoogleDriveError::Code::fileChanged);
            EXPECT_EQ(error.description(), u"screen.mov changed while uploading to Google Drive."_s);
        }
        EXPECT_TRUE(bed.drive.items().size() == 1); // nothing but the root
    }
}

TEST(GoogleDriveUploadSecrets, NoTokenOrSessionAddressInAnyErrorText)
{
    GoogleDriveClient::Options quick = DriveTestBed::smallOptions();
    quick.transferTimeoutMs = static_cast<int>(300 * test::timingScale());
    DriveTestBed bed(quick);
    const QString path = bed.patternFile(u"screen.mov"_s, fiveChunks);
    QString sessionURL;
    GoogleDriveClient::UploadOptions options;
    options.onSessionStarted = [&sessionURL](const DriveUploadSession& s) {
        sessionURL = s.sessionURL.toString();
    };
    QStringList texts;
    const auto attempt = [&](Route route, const Fault& fault) {
        bed.drive.clearFaults();
        bed.drive.addFault(route, 1, fault, true);
        try {
            runTask(bed.client->uploadFile(path, u"root-folder"_s, std::nullopt, options));
        } catch (const EbbcastError& error) {
            texts.append(error.description());
        }
    };
    attempt(Route::chunk, Fault::withStatus(500));
    attempt(Route::chunk, Fault::hang());
    attempt(Route::chunk, Fault::drop());
    attempt(Route::chunk, Fault::hugeRange());
    attempt(Route::sessionStart, Fault::withStatus(403, u"token drive-token refused"_s));
    // A server that echoes the address and the token in its refusal.
    ScriptedDrive echo;
    const QByteArray echoed =
        "{\"error\":{\"message\":\"" +
        echo.bed.server.url(u"/upload/drive/v3/files?upload_id=session-secret-123"_s).toEncoded() +
        " with drive-token\"}}";
    echo.answers = {{500, echoed}, {500, echoed}, {500, echoed}, {500, echoed}, {500, echoed}};
    try {
        runTask(echo.bed.client->uploadFile(echo.bed.patternFile(u"a.mov"_s, fiveChunks), u"p"_s));
    } catch (const GoogleDriveError& error) {
        texts.append(error.description());
        EXPECT_EQ(error.description(), u"Google Drive request failed: [redacted] with [redacted]"_s);
    }
    ASSERT_EQ(texts.size(), 6);
    ASSERT_FALSE(sessionURL.isEmpty());
    const QString sessionID = sessionURL.section(u"upload_id="_s, 1);
    for (const QString& text : texts) {
        EXPECT_FALSE(text.contains(u"drive-token"_s)) << text.toStdString();
        EXPECT_FALSE(text.contains(sessionID)) << text.toStdString();
        EXPECT_FALSE(text.contains(u"127.0.0.1"_s)) << text.toStdString();
    }
}

} // namespace
} // namespace ebbcast
