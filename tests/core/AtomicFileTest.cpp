#include "core/base/AtomicFile.h"

#include "core/base/FileError.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

unsigned modeOf(const QString& path)
{
    struct stat status {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return status.st_mode & 07777;
}

QStringList entriesOf(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// Writes zeros until the file system refuses more.
void fillUp(const QString& path)
{
    QFile filler(path);
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray block(4096, '\0');
    while (filler.write(block) == block.size()) {
    }
}

TEST(AtomicFile, FullDiskThrowsAndKeepsTheOldFileByteForByte)
{
    test::TemporaryFolder folder;
    test::SmallDisk disk(folder.file(u"tiny"_s), 64);
    if (!disk.isMounted())
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    const QString path = disk.file(u"settings.json"_s);
    AtomicFile::write(path, "{\n  \"recorderName\" : \"Ada\"\n}\n");
    const QByteArray before = test::TemporaryFolder::readAll(path);
    fillUp(disk.file(u"filler"_s));

    for (const qsizetype size : {qsizetype(100), qsizetype(200000)}) {
        SCOPED_TRACE(size);
        try {
            AtomicFile::write(path, QByteArray(size, 'x'));
            ADD_FAILURE() << "a write that cannot complete reports success";
        } catch (const FileError& error) {
            EXPECT_EQ(error.code(), FileError::Code::writeFailed);
            EXPECT_TRUE(error.description().contains(path));
            EXPECT_TRUE(error.description().contains(u"No space left on device"_s))
                << error.description().toStdString();
        }
        EXPECT_EQ(test::TemporaryFolder::readAll(path), before);
        EXPECT_EQ(entriesOf(disk.file(QString())), (QStringList{u"filler"_s, u"settings.json"_s}))
            << "no temporary file is left behind";
    }
}

TEST(AtomicFile, PermissionsAreSetOrKeptAndNewFilesFollowTheUmask)
{
    test::TemporaryFolder folder;
    const QString given = folder.file(u"given"_s);
    AtomicFile::write(given, "1", QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(modeOf(given), 0600U);
    AtomicFile::write(given, "2",
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                          QFileDevice::ReadOther);
    EXPECT_EQ(modeOf(given), 0644U);

    const QString kept = folder.file(u"kept"_s);
    test::TemporaryFolder::writeAll(kept, "old");
    ASSERT_EQ(::chmod(QFile::encodeName(kept).constData(), 0640), 0);
    AtomicFile::write(kept, "new");
    EXPECT_EQ(modeOf(kept), 0640U);
    EXPECT_EQ(test::TemporaryFolder::readAll(kept), "new");

    const mode_t previous = ::umask(0027);
    const QString fresh = folder.file(u"fresh"_s);
    AtomicFile::write(fresh, "x");
    ::umask(previous);
    EXPECT_EQ(modeOf(fresh), 0640U) << "0666 less the umask";
    EXPECT_EQ(entriesOf(folder.path()), (QStringList{u"fresh"_s, u"given"_s, u"kept"_s}));
}

TEST(AtomicFile, WritesThroughASymbolicLinkAndKeepsTheLink)
{
    test::TemporaryFolder folder;
    const QString target = folder.file(u"dotfiles/settings.json"_s);
    test::TemporaryFolder::writeAll(target, "old");
    const QString link = folder.file(u"settings.json"_s);
    ASSERT_TRUE(QFile::link(u"dotfiles/settings.json"_s, link));
    AtomicFile::write(link, "new");
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(test::TemporaryFolder::readAll(target), "new");
}

} // namespace
} // namespace ebbcast
