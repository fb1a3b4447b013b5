#include "drive/UnfinishedUploads.h"

#include "core/base/Logger.h"
#include "drive/UploadState.h"
#include "drive/UploadStateFile.h"
#include "support/TemporaryFolder.h"

#include <QDateTime>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Only sessions whose upload began and lacks files come back, newest first; recording ones, finished ones
// and never uploaded ones stay where they are.
TEST(UnfinishedUploadsTest, ListsOnlyStartedUploadsThatLackFilesNewestFirst)
{
    test::TemporaryFolder folder;
    Logger logger(folder.file(u"app.log"_s));
    const QString recordings = folder.file(u"Recordings"_s);
    const auto session = [&](const QString& name, const QStringList& uploaded, bool recording = false) {
        const QString path = recordings + u'/' + name;
        test::TemporaryFolder::writeAll(path + u"/metadata.json"_s, "{}");
        test::TemporaryFolder::writeAll(path + u"/chunks/microphone_chunk_0001.wav"_s, "RIFF");
        if (recording)
            test::TemporaryFolder::writeAll(path + u"/.ebbcast_recording_active"_s, "");
        if (uploaded.isEmpty())
            return path;
        UploadState state;
        state.driveFolderID = u"folder-"_s + name;
        for (const QString& key : uploaded)
            state.uploadedFiles[key] = {u"id-"_s + key, QDateTime::currentDateTimeUtc()};
        UploadStateFile(path, logger).save(state);
        return path;
    };
    const QString older = session(u"2026-12-01_08-00-00"_s, {u"metadata.json"_s});
    session(u"2026-12-02_08-00-00"_s, {u"metadata.json"_s, u"chunks/microphone_chunk_0001.wav"_s});
    const QString newer = session(u"2026-12-03_08-00-00"_s, {u"chunks/microphone_chunk_0001.wav"_s});
    session(u"2026-12-04_08-00-00"_s, {});
    session(u"2026-12-05_08-00-00"_s, {u"metadata.json"_s}, true);

    EXPECT_EQ(sessionsWithUnfinishedUploads(recordings, u".ebbcast_recording_active"_s, logger),
              (QStringList{newer, older}));
    EXPECT_TRUE(sessionsWithUnfinishedUploads(folder.file(u"missing"_s), u".m"_s, logger).isEmpty());
}

} // namespace
} // namespace ebbcast
