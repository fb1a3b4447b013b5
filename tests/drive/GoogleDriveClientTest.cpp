#include "drive/GoogleDriveClient.h"

#include "DriveTestBed.h"
#include "drive/GoogleDriveError.h"
#include "support/RunTask.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::DriveTestBed;
using test::FakeGoogleDrive;
using test::runTask;

const QStringList hostileNames = {
    u"O'Brien"_s,      u"back\\slash"_s,   u"\\'"_s,
    u"say \"hi\""_s,   u"a+b"_s,           u"a&b=c"_s,
    u"#1 take"_s,      u"100% done"_s,     u"Réunion d'équipe"_s,
    u"🎙 Meeting"_s, u"' or '1' = '1"_s, u"a and trashed = true"_s,
};

TEST(GoogleDriveClientFolders, FindsEachHostileNameExactlyAndNothingElse)
{
    DriveTestBed bed;
    const QString parent = bed.drive.addFolder(u"Parent's \\ folder"_s, u"root-folder"_s);
    QHash<QString, QString> ids;
    for (const QString& name : hostileNames)
        ids.insert(name, bed.drive.addFolder(name, parent));
    bed.drive.addFolder(u"O'Brien"_s, u"root-folder"_s); // same name, other parent

    for (const QString& name : hostileNames) {
        EXPECT_EQ(runTask(bed.client->findFolder(name, parent)), ids.value(name)) << name.toStdString();
    }
    EXPECT_EQ(runTask(bed.client->findFolder(u"O'Brien "_s, parent)), std::nullopt);
    EXPECT_EQ(runTask(bed.client->findFolder(u"OBrien"_s, parent)), std::nullopt);
    EXPECT_TRUE(bed.server.violations().isEmpty()) << bed.server.violations().join(u'\n').toStdString();
}

TEST(GoogleDriveClientFolders, AParentIdIsQuotedLikeANameAndAnEmptyListIsNoFolder)
{
    DriveTestBed bed;
    const QString parent = bed.drive.addFolder(u"x"_s, u"root-folder"_s);
    bed.drive.item(parent)->id = u"id' in parents or 'x"_s;
    bed.drive.addFolder(u"Sessions"_s, u"id' in parents or 'x"_s);
    EXPECT_TRUE(runTask(bed.client->findFolder(u"Sessions"_s, u"id' in parents or 'x"_s)).has_value());
    EXPECT_EQ(runTask(bed.client->findFolder(u"Sessions"_s, u"root-folder"_s)), std::nullopt);
    EXPECT_TRUE(bed.server.violations().isEmpty()) << bed.server.violations().join(u'\n').toStdString();
}

TEST(GoogleDriveClientFolders, CreatedFoldersAreFoundWithTheirNameAndParent)
{
    DriveTestBed bed;
    for (const QString& name : hostileNames) {
        const QString id = runTask(bed.client->createFolder(name, u"root-folder"_s));
        ASSERT_NE(bed.drive.item(id), nullptr);
        EXPECT_EQ(bed.drive.item(id)->name, name);
        EXPECT_EQ(runTask(bed.client->findFolder(name, u"root-folder"_s)), id);
    }
    EXPECT_TRUE(bed.server.violations().isEmpty()) << bed.server.violations().join(u'\n').toStdString();
}

TEST(GoogleDriveClientFolders, AFileSearchSkipsFoldersAndReportsSizeAndChecksum)
{
    DriveTestBed bed;
    bed.drive.addFolder(u"screen.mov"_s, u"root-folder"_s);
    const QString id = bed.drive.addFile(u"screen.mov"_s, u"root-folder"_s, "movie bytes");
    const std::optional<DriveFileEntry> file =
        runTask(bed.client->findFile(u"screen.mov"_s, u"root-folder"_s));
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->id, id);
    EXPECT_EQ(file->size, 11);
    EXPECT_EQ(file->md5Checksum,
              QString::fromLatin1(QCryptographicHash::hash("movie bytes", QCryptographicHash::Md5).toHex()));
    EXPECT_EQ(runTask(bed.client->findFile(u"other.mov"_s, u"root-folder"_s)), std::nullopt);
}

TEST(GoogleDriveClientMetadata, ProcessingIsReportedOnceDriveHasAThumbnailOrVideoMetadata)
{
    DriveTestBed bed;
    const QString id = bed.drive.addFile(u"screen.mov"_s, u"root-folder"_s, "m", u"video/quicktime"_s);
    bed.drive.item(id)->metadataReply = QJsonObject{{u"id"_s, id}, {u"name"_s, u"screen.mov"_s}};
    EXPECT_FALSE(runTask(bed.client->videoFileIsProcessed(id)));
    bed.drive.item(id)->metadataReply = QJsonObject{{u"id"_s, id}, {u"thumbnailLink"_s, u"https://t"_s}};
    EXPECT_TRUE(runTask(bed.client->videoFileIsProcessed(id)));
    bed.drive.item(id)->metadataReply.reset();
    EXPECT_TRUE(runTask(bed.client->videoFileIsProcessed(id)));

    // An id is one path segment: a slash or "?" in it cannot reach another route or query.
    const QString strange = bed.drive.addFile(u"a"_s, u"root-folder"_s, "m");
    bed.drive.item(strange)->id = u"a/b?c#d é"_s;
    EXPECT_TRUE(runTask(bed.client->videoFileIsProcessed(u"a/b?c#d é"_s)));
    for (const QString& unusable : {u""_s, u"."_s, u".."_s})
        EXPECT_THROW(runTask(bed.client->videoFileIsProcessed(unusable)), GoogleDriveError);
    EXPECT_TRUE(bed.server.violations().isEmpty()) << bed.server.violations().join(u'\n').toStdString();
}

TEST(GoogleDriveClientMetadata, TheAccountIsNamed)
{
    DriveTestBed bed;
    EXPECT_EQ(runTask(bed.client->accountInfo()),
              (DriveAccountInfo{u"Ada Lovelace"_s, u"ada@example.org"_s}));
    EXPECT_TRUE(runTask(bed.client->isConnected()));
    runTask(bed.client->connect());
    EXPECT_EQ(bed.tokens.validCalls, 2);
}

TEST(GoogleDriveClientErrors, ARefusalShowsDrivesMessageAndNoSecret)
{
    DriveTestBed bed;
    bed.tokens.token = u"drive-token"_s;
    bed.drive.addFault(
        FakeGoogleDrive::Route::search, 1,
        FakeGoogleDrive::Fault::withStatus(403, u"Insufficient permissions for drive-token"_s));
    try {
        runTask(bed.client->findFolder(u"x"_s, u"root-folder"_s));
        FAIL() << "no error";
    } catch (const GoogleDriveError& error) {
        EXPECT_EQ(error.code(), GoogleDriveError::Code::requestFailed);
        EXPECT_EQ(error.httpStatus(), 403);
        EXPECT_EQ(error.description(),
                  u"Google Drive request failed: Insufficient permissions for [redacted]"_s);
    }
}

TEST(GoogleDriveClientErrors, A401GetsOneMoreTryWithAReplacementToken)
{
    DriveTestBed bed;
    bed.drive.expireToken(u"drive-token"_s);
    EXPECT_EQ(runTask(bed.client->findFolder(u"none"_s, u"root-folder"_s)), std::nullopt);
    EXPECT_EQ(bed.tokens.rejected, QStringList{u"drive-token"_s});
    const auto searches = bed.drive.exchangesTo(FakeGoogleDrive::Route::search);
    ASSERT_EQ(searches.size(), 2);
    EXPECT_EQ(searches[1].token, "drive-token-2");

    // A second 401 is the answer.
    bed.drive.expireToken(u"drive-token-2"_s);
    EXPECT_THROW(runTask(bed.client->createFolder(u"x"_s, u"root-folder"_s)), GoogleDriveError);
    EXPECT_EQ(bed.drive.exchangesTo(FakeGoogleDrive::Route::createFolder).size(), 2);
}

TEST(GoogleDriveClientErrors, ARedirectIsNeverFollowedWithTheToken)
{
    test::FakeHttpServer elsewhere;
    elsewhere.setHandler(
        [](const test::FakeHttpServer::Request&) { return test::FakeHttpServer::Response{}; });
    DriveTestBed bed;
    bed.server.setHandler([&elsewhere](const test::FakeHttpServer::Request&) {
        test::FakeHttpServer::Response response;
        response.status = 307;
        response.headers.append({"Location", elsewhere.url(u"/drive/v3/files"_s).toEncoded()});
        return response;
    });
    EXPECT_THROW(runTask(bed.client->findFolder(u"x"_s, u"root"_s)), GoogleDriveError);
    EXPECT_THROW(runTask(bed.client->accountInfo()), GoogleDriveError);
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

TEST(GoogleDriveClientErrors, TransportFailuresAndUnusableRepliesAreDriveErrors)
{
    DriveTestBed bed;
    bed.drive.addFault(FakeGoogleDrive::Route::about, 1, FakeGoogleDrive::Fault::hang());
    try {
        runTask(bed.client->accountInfo());
        FAIL() << "no error";
    } catch (const GoogleDriveError& error) {
        EXPECT_TRUE(error.description().startsWith(u"Google Drive request failed: no answer within"_s))
            << error.description().toStdString();
        EXPECT_EQ(error.httpStatus(), 0);
    }
    bed.server.setHandler([](const test::FakeHttpServer::Request&) {
        test::FakeHttpServer::Response response;
        response.body = R"({"files":"none"})";
        return response;
    });
    EXPECT_THROW(runTask(bed.client->findFolder(u"x"_s, u"root"_s)), GoogleDriveError);
}

} // namespace
} // namespace ebbcast
