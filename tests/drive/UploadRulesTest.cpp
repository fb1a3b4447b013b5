#include "drive/UploadRules.h"

#include "drive/GoogleDriveError.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using namespace UploadRules;

const QString session = u"/home/ada/Videos/Ebbcast/2026-12-06_08-21-20"_s;

TEST(UploadRules, UploadKeysAreRelativeToTheCleanedSessionFolder)
{
    const struct {
        QString folder;
        QString file;
        QString key;
    } cases[] = {
        {session, session + u"/screen.mov"_s, u"screen.mov"_s},
        {session, session + u"/chunks/mic_chunk_0001.wav"_s, u"chunks/mic_chunk_0001.wav"_s},
        {session + u"/"_s, session + u"//transcripts/./a.md"_s, u"transcripts/a.md"_s},
        {session + u"/chunks/.."_s, session + u"/chunks/../metadata.json"_s, u"metadata.json"_s},
        {session, session + u"/.hidden"_s, u".hidden"_s},
        // A sibling folder whose name merely begins with the session's name is outside it.
        {session, session + u"x/chunks/a.wav"_s, u"a.wav"_s},
        {session, u"/tmp/elsewhere/notes.txt"_s, u"notes.txt"_s},
        {session, session, u"2026-12-06_08-21-20"_s},
        {u"/"_s, u"/screen.mov"_s, u"screen.mov"_s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(QString(c.folder + u" | "_s + c.file).toStdString());
        EXPECT_EQ(uploadKey(c.folder, c.file), c.key);
    }
}

TEST(UploadRules, UploadKeysOfRelativePathsAndLinksAreNotResolved)
{
    test::TemporaryFolder folder;
    const QString real = folder.file(u"real/2026-12-06_08-21-20"_s);
    ASSERT_TRUE(QDir().mkpath(real + u"/chunks"_s));
    const QString link = folder.file(u"link"_s);
    ASSERT_EQ(::symlink(QFile::encodeName(real).constData(), QFile::encodeName(link).constData()), 0);

    // The session reached through a link keeps the link's path; a file named through the real path is
    // outside.
    EXPECT_EQ(uploadKey(link, link + u"/chunks/a.wav"_s), u"chunks/a.wav"_s);
    EXPECT_EQ(uploadKey(link, real + u"/chunks/a.wav"_s), u"a.wav"_s);

    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    EXPECT_EQ(uploadKey(u"link"_s, u"link/chunks/../screen.mov"_s), u"screen.mov"_s);
    EXPECT_EQ(uploadKey(u"./real/2026-12-06_08-21-20"_s, real + u"/chunks/b.wav"_s), u"chunks/b.wav"_s);
    QDir::setCurrent(previous);
}

TEST(UploadRules, DayFolderAndArchivePathComeFromTheSessionName)
{
    const struct {
        QString folder;
        QString day;
        QString archive;
    } cases[] = {
        {session, u"2026-12-06"_s, u"2026-12-06 / 2026-12-06_08-21-20"_s},
        {session + u"/"_s, u"2026-12-06"_s, u"2026-12-06 / 2026-12-06_08-21-20"_s},
        {u"/data/2026-12-06"_s, u"2026-12-06"_s, u"2026-12-06 / 2026-12-06"_s},
        {u"/data/short"_s, u"short"_s, u"short / short"_s},
        {u"/data/Präsentation-2026"_s, u"Präsentati"_s, u"Präsentati / Präsentation-2026"_s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder.toStdString());
        EXPECT_EQ(dayFolderName(c.folder), c.day);
        EXPECT_EQ(driveArchivePath(c.folder), c.archive);
    }
}

TEST(UploadRules, FolderIdsFromTheFolderSetting)
{
    const struct {
        QString setting;
        QString id;
    } accepted[] = {
        {u"1AbC_d-9"_s, u"1AbC_d-9"_s},
        {u"  1AbC \n"_s, u"1AbC"_s},
        {u"https://drive.google.com/drive/folders/ABC"_s, u"ABC"_s},
        {u"https://drive.google.com/drive/folders/ABC?usp=sharing"_s, u"ABC"_s},
        {u"https://drive.google.com/drive/u/1/folders/ABC/"_s, u"ABC"_s},
        {u"https://drive.google.com/drive/folders/ABC#x\n"_s, u"ABC"_s},
        {u"drive.google.com/drive/folders/ABC"_s, u"ABC"_s},
    };
    for (const auto& c : accepted) {
        SCOPED_TRACE(c.setting.toStdString());
        EXPECT_EQ(folderID(c.setting), c.id);
    }

    const QString refused[] = {
        u""_s,
        u" \n\t"_s,
        u"https://drive.google.com/drive/my-drive"_s,
        u"https://drive.google.com/drive/folders"_s,
        u"https://drive.google.com/drive/folders/"_s,
        u"https://drive.google.com/drive/folders/AB%20C"_s,
        u"https://drive.google.com/drive/folders/../x"_s,
        u"a b"_s,
        u"ABC?x=1"_s,
        u"http://[::1/folders/ABC"_s,
    };
    for (const QString& setting : refused) {
        SCOPED_TRACE(setting.toStdString());
        try {
            const QString id = folderID(setting);
            ADD_FAILURE() << "accepted as " << id.toStdString();
        } catch (const GoogleDriveError& error) {
            EXPECT_EQ(error.code(), GoogleDriveError::Code::invalidFolderURL);
            EXPECT_EQ(error.description(), u"Google Drive folder URL is invalid."_s);
        }
    }
}

TEST(UploadRules, EachFileHasOneDestinationAndDriveName)
{
    UploadState state;
    state.driveFolderID = u"S"_s;
    for (const DriveSubfolderKey key : allDriveSubfolderKeys)
        state.driveFolders[rawValue(key)] = u"id-"_s + rawValue(key);

    const QString s = u"2026-12-06_08-21-20"_s;
    const struct {
        QString key;
        QString folderID;
        QString label;
        QString name;
    } cases[] = {
        {u"transcripts/00 Session Brief.md"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         s + u" - 00 Session Brief.md"_s},
        {u"transcripts/01 Clean Transcript.md"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         s + u" - 01 Clean Transcript.md"_s},
        {u"transcripts/02 Timeline.json"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         s + u" - 02 Timeline.json"_s},
        {u"transcripts/03 Raw Transcript.md"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         s + u" - 03 Raw Transcript.md"_s},
        {u"transcripts/04 Provenance.json"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         s + u" - 04 Provenance.json"_s},
        {u"transcripts/session_transcript.md"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         s + u" transcript.md"_s},
        {u"transcripts/session_transcript.txt"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         s + u" transcript.txt"_s},
        {u"transcripts/session_timeline.json"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         s + u" timeline.json"_s},
        {u"transcripts/chunk_0001.json"_s, u"id-chunk_transcripts"_s, u"02 Chunk Transcripts"_s,
         u"chunk_0001.json"_s},
        {u"transcripts/sub/01 Clean Transcript.md"_s, u"id-chunk_transcripts"_s, u"02 Chunk Transcripts"_s,
         u"01 Clean Transcript.md"_s},
        {u"chunks/mic_chunk_0001.wav"_s, u"id-live_chunks"_s, u"01 Live Chunks"_s, u"mic_chunk_0001.wav"_s},
        {u"chunks/transcripts/x.wav"_s, u"id-live_chunks"_s, u"01 Live Chunks"_s, u"x.wav"_s},
        {u"final_transcript.md"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         u"final_transcript.md"_s},
        {u"full_transcript_v2.txt"_s, u"id-final_transcript"_s, u"04 Final Transcript"_s,
         u"full_transcript_v2.txt"_s},
        {u"screen.mov"_s, u"id-final_recording"_s, u"03 Final Recording"_s, u"screen.mov"_s},
        {u"microphone.wav"_s, u"id-final_recording"_s, u"03 Final Recording"_s, u"microphone.wav"_s},
        {u"system_audio.m4a"_s, u"id-final_recording"_s, u"03 Final Recording"_s, u"system_audio.m4a"_s},
        {u"wrap_up.mov"_s, u"id-final_recording"_s, u"03 Final Recording"_s, u"wrap_up.mov"_s},
        {u"wrap_up_metadata.json"_s, u"id-final_recording"_s, u"03 Final Recording"_s,
         u"wrap_up_metadata.json"_s},
        {u"Screen.mov"_s, u"S"_s, u"session root"_s, u"Screen.mov"_s},
        {u"metadata.json"_s, u"S"_s, u"session root"_s, u"metadata.json"_s},
        {u"other/screen.mov"_s, u"S"_s, u"session root"_s, u"screen.mov"_s},
        {u".hidden"_s, u"S"_s, u"session root"_s, u".hidden"_s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key.toStdString());
        EXPECT_EQ(driveTarget(u"/x/"_s + s, c.key, state), (DriveTarget{c.folderID, c.label, c.name}));
    }
}

TEST(UploadRules, AMissingSubfolderIdFallsBackToTheSessionFolder)
{
    UploadState state;
    state.driveFolderID = u"S"_s;
    state.driveFolders[u"live_chunks"_s] = u"L"_s;
    EXPECT_EQ(driveTarget(session, u"chunks/a.wav"_s, state),
              (DriveTarget{u"L"_s, u"01 Live Chunks"_s, u"a.wav"_s}));
    EXPECT_EQ(driveTarget(session, u"screen.mov"_s, state),
              (DriveTarget{u"S"_s, u"session root"_s, u"screen.mov"_s}));
    EXPECT_EQ(driveTarget(session, u"transcripts/01 Clean Transcript.md"_s, state),
              (DriveTarget{u"S"_s, u"session root"_s, u"01 Clean Transcript.md"_s}));

    state.driveFolderID.reset();
    try {
        driveTarget(session, u"chunks/a.wav"_s, state);
        ADD_FAILURE() << "a target without a session folder";
    } catch (const GoogleDriveError& error) {
        EXPECT_EQ(error.code(), GoogleDriveError::Code::invalidFolderURL);
    }
}

TEST(UploadRules, SubfolderKeysInOrderWithTheirNames)
{
    QStringList raw, names;
    for (const DriveSubfolderKey key : allDriveSubfolderKeys) {
        raw.append(rawValue(key));
        names.append(driveFolderName(key));
        EXPECT_EQ(driveSubfolderKeyFromRawValue(rawValue(key)), key);
    }
    EXPECT_EQ(raw, (QStringList{u"live_chunks"_s, u"chunk_transcripts"_s, u"final_recording"_s,
                                u"final_transcript"_s}));
    EXPECT_EQ(names, (QStringList{u"01 Live Chunks"_s, u"02 Chunk Transcripts"_s, u"03 Final Recording"_s,
                                  u"04 Final Transcript"_s}));
    EXPECT_EQ(driveSubfolderKeyFromRawValue(u"01 Live Chunks"_s), std::nullopt);
}

TEST(UploadRules, BookkeepingFilesAreExcludedAndOtherHiddenFilesAreNot)
{
    const struct {
        QString name;
        bool excluded;
    } cases[] = {
        {u".ebbcast_upload_state.json"_s, true},
        {u".ebbcast_upload.lock"_s, true},
        {u".ebbcast_upload_state.json.corrupt-20261206T081502Z"_s, true},
        {u"..ebbcast_upload_state.json.Ab12Cd"_s, true},
        {u".ebbcast_"_s, true},
        {u".ebbcast"_s, false},
        {u".metadata.json.lock"_s, true},
        {u".metadata.json.Xy12Ab"_s, true},
        {u".mic_chunk_0001.txt.Q9w8e7"_s, true},
        {u".metadata.json"_s, false},
        {u".hidden.notes"_s, false},
        {u"ebbcast_upload_state.json"_s, false},
        {u".DS_Store"_s, false},
        {u"x.ebbcast_y"_s, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EXPECT_EQ(isExcludedFromUpload(c.name), c.excluded);
    }
}

TEST(UploadRules, KeysSortByCodePoint)
{
    QStringList keys{u"chunks/b.wav"_s,   u"chunks-x"_s,   u"Zed"_s,
                     u"\U0001F600.txt"_s, u"\uFF21.txt"_s, u"chunks.txt"_s,
                     u"chunks/a.wav"_s,   u"a"_s,          u"_x"_s};
    std::sort(keys.begin(), keys.end(), uploadKeyLess);
    EXPECT_EQ(keys, (QStringList{u"Zed"_s, u"_x"_s, u"a"_s, u"chunks-x"_s, u"chunks.txt"_s, u"chunks/a.wav"_s,
                                 u"chunks/b.wav"_s, u"\uFF21.txt"_s, u"\U0001F600.txt"_s}));
}

TEST(UploadRules, TheSessionListingHoldsRegularFilesOnlyAndFollowsNoLink)
{
    test::TemporaryFolder folder;
    const QString root = folder.file(u"2026-12-06_08-21-20"_s);
    const QString outside = folder.file(u"outside"_s);
    for (const QString& sub : {u"chunks"_s, u"transcripts/deep"_s, u"empty"_s})
        ASSERT_TRUE(QDir().mkpath(root + u'/' + sub));
    ASSERT_TRUE(QDir().mkpath(outside));
    for (const QString& name :
         {u"screen.mov"_s, u"metadata.json"_s, u".hidden"_s, u"chunks/mic_chunk_0002.wav"_s,
          u"chunks/mic_chunk_0001.wav"_s, u"transcripts/deep/x.md"_s, u".ebbcast_upload_state.json"_s,
          u".ebbcast_active_recording"_s, u"chunks/.ebbcast_note"_s})
        test::TemporaryFolder::writeAll(root + u'/' + name, "x");
    test::TemporaryFolder::writeAll(outside + u"/id_ed25519"_s, "private key");
    const auto link = [](const QString& target, const QString& at) {
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData()), 0);
    };
    link(outside + u"/id_ed25519"_s, root + u"/key"_s);
    link(outside, root + u"/linked_folder"_s);
    link(root + u"/missing"_s, root + u"/dangling"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + u"/pipe"_s).constData(), 0600), 0);

    QStringList keys;
    for (const QString& file : sessionFiles(root))
        keys.append(uploadKey(root, file));
    EXPECT_EQ(keys, (QStringList{u".hidden"_s, u"chunks/mic_chunk_0001.wav"_s, u"chunks/mic_chunk_0002.wav"_s,
                                 u"metadata.json"_s, u"screen.mov"_s, u"transcripts/deep/x.md"_s}));
    EXPECT_TRUE(sessionFiles(root).first().startsWith(root + u'/')) << "absolute paths";
    EXPECT_EQ(sessionFiles(folder.file(u"nowhere"_s)), QStringList());
}

} // namespace
} // namespace ebbcast
