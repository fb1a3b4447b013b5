#include "drive/DriveInfo.h"

#include "core/base/DriveWebLinks.h"
#include "core/base/Logger.h"
#include "drive/UploadStateFile.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::TemporaryFolder;

class DriveInfoTest : public ::testing::Test {
protected:
    TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    const DriveWebLinks links_{QUrl(u"https://drive.google.com"_s)};
    const QString session_ = folder_.path();
};

TEST_F(DriveInfoTest, FindsAFileUnderItsUploadKeyElseUnderItsBareName)
{
    // Built whole: GCC 12 with the sanitizers reports a false "may be used uninitialized" for a QString
    // assigned into the disengaged optional of a local state.
    const UploadState state{.driveFolderID = u"session-id"_s,
                            .driveDayFolderID = std::nullopt,
                            .driveFolders = {},
                            .uploadedFiles = {{u"chunks/mic_chunk_0001.wav"_s, {u"by-key"_s, {}}},
                                              {u"mic_chunk_0001.wav"_s, {u"by-name"_s, {}}},
                                              {u"session_transcript.md"_s, {u"bare/id"_s, {}}}},
                            .pendingUploads = {}};
    UploadStateFile(session_, logger_).save(state);

    const DriveInfo keyed =
        readDriveInfo(session_, session_ + u"/chunks/mic_chunk_0001.wav"_s, links_, logger_);
    EXPECT_EQ(keyed.fileID, u"by-key"_s);
    EXPECT_EQ(keyed.driveURL, u"https://drive.google.com/file/d/by-key/view"_s);
    EXPECT_EQ(keyed.folderURL, u"https://drive.google.com/drive/folders/session-id"_s);

    const DriveInfo bare =
        readDriveInfo(session_, session_ + u"/transcripts/session_transcript.md"_s, links_, logger_);
    EXPECT_EQ(bare.fileID, u"bare/id"_s);
    EXPECT_EQ(bare.driveURL, u"https://drive.google.com/file/d/bare%2Fid/view"_s);

    const DriveInfo missing = readDriveInfo(session_, session_ + u"/screen.mov"_s, links_, logger_);
    EXPECT_EQ(missing.fileID, std::nullopt);
    EXPECT_EQ(missing.driveURL, std::nullopt);
    EXPECT_EQ(missing.folderURL, u"https://drive.google.com/drive/folders/session-id"_s);
}

TEST_F(DriveInfoTest, AGivenStateIsUsedAndNoStateFileKnowsNothing)
{
    EXPECT_EQ(readDriveInfo(session_, session_ + u"/metadata.json"_s, links_, logger_), DriveInfo{});

    UploadState given;
    given.uploadedFiles[u"metadata.json"_s] = {u"m"_s, {}};
    const DriveInfo info = readDriveInfo(session_, session_ + u"/metadata.json"_s, links_, logger_, given);
    EXPECT_EQ(info.fileID, u"m"_s);
    EXPECT_EQ(info.folderURL, std::nullopt) << "no session folder id, no folder link";
}

} // namespace
} // namespace ebbcast
