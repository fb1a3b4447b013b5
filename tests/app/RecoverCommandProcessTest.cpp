#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionMetadata.h"
#include "support/ReadOnlyRemount.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QProcess>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// "ebbcast recover" run as a user would, with its own XDG folders and recordings root.
class RecoverCommandProcessTest : public ::testing::Test {
protected:
    int run(const QStringList& arguments, QByteArray& out, QByteArray& err)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_CONFIG_HOME"_s, folder_.file(u"config"_s));
        environment.insert(u"XDG_STATE_HOME"_s, folder_.file(u"state"_s));
        process.setProcessEnvironment(environment);
        process.start(QString::fromUtf8(EBBCAST_EXECUTABLE), arguments);
        EXPECT_TRUE(process.waitForFinished(20000));
        out = process.readAllStandardOutput();
        err = process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    // A session folder a crash left: a document without end time and the active-recording marker.
    static QString leftBehind(const QString& root)
    {
        const QString folder = root + u"/2026-12-06_09-05-02"_s;
        QDir().mkpath(folder);
        SessionMetadata document;
        document.sessionID = u"2026-12-06_09-05-02"_s;
        document.startTime = QDateTime(QDate(2026, 12, 6), QTime(8, 5, 2), Qt::UTC);
        document.systemAudioCapture = SystemAudioCaptureMetadata::unavailable();
        document.files = {folder + u"/screen.mov"_s, folder + u"/system_audio.m4a"_s,
                          folder + u"/microphone.wav"_s, folder + u"/metadata.json"_s};
        MetadataWriter::write(document, document.files.metadata);
        test::TemporaryFolder::writeAll(folder + u"/.ebbcast_recording_active"_s, "");
        return folder;
    }

    test::TemporaryFolder folder_;
};

TEST_F(RecoverCommandProcessTest, ARepairThatFailsIsReportedWithStatusOne)
{
    test::SmallDisk disk(folder_.file(u"disk"_s), 256);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const QString root = folder_.file(u"disk"_s);
    const QString folder = leftBehind(root);
    QByteArray out;
    QByteArray err;
    ASSERT_EQ(run({u"settings"_s, u"set"_s, u"recordingFolderPath"_s, root}, out, err), 0) << err.constData();
    if (!test::remountReadOnly(root))
        GTEST_SKIP() << "cannot remount the tmpfs read-only here";

    EXPECT_EQ(run({u"recover"_s}, out, err), 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(err.startsWith(QByteArray("ebbcast: could not repair " + folder.toUtf8() + ": ")))
        << err.constData();
    EXPECT_TRUE(err.contains("metadata.json")) << err.constData();
}

TEST_F(RecoverCommandProcessTest, RepairedAndNothingToRepairSucceed)
{
    const QString root = folder_.file(u"Recordings"_s);
    const QString folder = leftBehind(root);
    QByteArray out;
    QByteArray err;
    ASSERT_EQ(run({u"settings"_s, u"set"_s, u"recordingFolderPath"_s, root}, out, err), 0) << err.constData();
    EXPECT_EQ(run({u"recover"_s}, out, err), 0);
    EXPECT_EQ(out, QByteArray("Repaired interrupted session: " + folder.toUtf8() + '\n'));
    EXPECT_EQ(run({u"recover"_s}, out, err), 0);
    EXPECT_EQ(out, "No interrupted session to repair\n");
}

} // namespace
} // namespace ebbcast
