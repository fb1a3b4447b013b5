#include "app/RecentSessionFolders.h"

#include "core/documents/SessionFolder.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

class RecentSessionFoldersTest : public ::testing::Test {
protected:
    // A folder in the recordings folder, with a session document unless told otherwise.
    QString addFolder(const QString& name, bool withMetadata = true)
    {
        const QString path = recordings_.file(name);
        EXPECT_TRUE(QDir().mkpath(path));
        if (withMetadata)
            test::TemporaryFolder::writeAll(path + u"/metadata.json"_s, "{}");
        return path;
    }

    // Sets a folder's modification time, seconds from now.
    static void setModified(const QString& path, int secondsFromNow)
    {
        const timespec when{std::time(nullptr) + secondsFromNow, 0};
        const timespec times[2] = {when, when};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    }

    QStringList listedNames(std::size_t limit = 5) const
    {
        QStringList names;
        for (const SessionFolderEntry& entry : recentSessionFolders(recordings_.path(), limit).sessions)
            names.append(entry.name);
        return names;
    }

    test::TemporaryFolder recordings_;
};

TEST_F(RecentSessionFoldersTest, NewestSessionStartFirstWhateverTheModificationTimes)
{
    const QString oldest = addFolder(u"2024-02-28_23-59-59"_s);
    addFolder(u"2024-03-02_09-00-00"_s);
    addFolder(u"2024-03-01_10-00-00"_s);
    addFolder(u"2024-03-01_10-00-00-1"_s);
    addFolder(u"2024-03-01_10-00-00-10"_s);
    addFolder(u"2024-03-01_10-00-00-2"_s);
    // The oldest session was touched last (an upload state written into it, say).
    setModified(oldest, 3600);

    EXPECT_EQ(listedNames(10),
              (QStringList{u"2024-03-02_09-00-00"_s, u"2024-03-01_10-00-00-10"_s, u"2024-03-01_10-00-00-2"_s,
                           u"2024-03-01_10-00-00-1"_s, u"2024-03-01_10-00-00"_s, u"2024-02-28_23-59-59"_s}));
    EXPECT_EQ(listedNames(),
              (QStringList{u"2024-03-02_09-00-00"_s, u"2024-03-01_10-00-00-10"_s, u"2024-03-01_10-00-00-2"_s,
                           u"2024-03-01_10-00-00-1"_s, u"2024-03-01_10-00-00"_s}));
    EXPECT_EQ(listedNames(1), QStringList{u"2024-03-02_09-00-00"_s});

    const RecentSessionFolders recent = recentSessionFolders(recordings_.path());
    ASSERT_FALSE(recent.sessions.empty());
    EXPECT_EQ(recent.sessions.front().path,
              QDir(recordings_.path()).absoluteFilePath(u"2024-03-02_09-00-00"_s));
    ASSERT_TRUE(recent.sessions.front().start.has_value());
    EXPECT_EQ(*recent.sessions.front().start, QDateTime(QDate(2024, 3, 2), QTime(9, 0)));
}

TEST_F(RecentSessionFoldersTest, OnlyFoldersWithASessionDocumentAndOtherNamesLast)
{
    addFolder(u"2024-05-01_08-00-00"_s);
    addFolder(u"imported session"_s);           // a session folder of another name
    addFolder(u"2024-06-01_08-00-00"_s, false); // being created: no document yet
    const QString odd = addFolder(u"2024-04-01_08-00-00"_s, false);
    ASSERT_TRUE(QDir().mkpath(odd + u"/metadata.json"_s)); // a folder of that name is no document
    addFolder(u"2024-99-01_08-00-00"_s);                   // no such date: a name of another form
    test::TemporaryFolder::writeAll(recordings_.file(u"2024-07-01_08-00-00"_s), "not a folder");
    test::TemporaryFolder elsewhere;
    test::TemporaryFolder::writeAll(elsewhere.file(u"metadata.json"_s), "{}");
    ASSERT_TRUE(QFile::link(elsewhere.path(), recordings_.file(u"2024-08-01_08-00-00"_s)));

    EXPECT_EQ(listedNames(),
              (QStringList{u"2024-05-01_08-00-00"_s, u"imported session"_s, u"2024-99-01_08-00-00"_s}));
}

TEST_F(RecentSessionFoldersTest, FoldersAwaitingTheirDocumentAreThoseThatWouldBeListed)
{
    for (int day = 1; day <= 6; ++day)
        addFolder(u"2024-05-0%1_08-00-00"_s.arg(day));
    const QString newest = addFolder(u"2024-05-09_08-00-00"_s, false);
    const QString between = addFolder(u"2024-05-04_12-00-00"_s, false);
    addFolder(u"2024-05-01_12-00-00"_s, false); // older than the fifth listed: cannot enter the list

    const RecentSessionFolders recent = recentSessionFolders(recordings_.path());
    EXPECT_EQ(recent.sessions.size(), 5u);
    EXPECT_EQ(recent.awaitingMetadata,
              (QStringList{QDir(newest).absolutePath(), QDir(between).absolutePath()}));

    // Once the document is there, the folder is listed and awaited no more.
    test::TemporaryFolder::writeAll(newest + u"/metadata.json"_s, "{}");
    const RecentSessionFolders after = recentSessionFolders(recordings_.path());
    EXPECT_EQ(after.sessions.front().name, u"2024-05-09_08-00-00"_s);
    EXPECT_EQ(after.awaitingMetadata, QStringList{QDir(between).absolutePath()});
}

TEST_F(RecentSessionFoldersTest, NothingWithoutARecordingsFolder)
{
    EXPECT_TRUE(recentSessionFolders(QString()).sessions.empty());
    const RecentSessionFolders missing = recentSessionFolders(recordings_.file(u"missing"_s));
    EXPECT_TRUE(missing.sessions.empty());
    EXPECT_TRUE(missing.awaitingMetadata.isEmpty());
    EXPECT_TRUE(recentSessionFolders(recordings_.path()).sessions.empty());
}

TEST(SessionStartOfFolderName, TheLocalStartTimeTheFolderWasNamedBy)
{
    // The tests run in Europe/Berlin: 10:00 in March is 09:00 UTC, in July 08:00 UTC.
    const auto sessionStartOfFolderName = [](const QString& name) {
        const std::optional<SessionFolder::Name> parsed = SessionFolder::parseName(name);
        return parsed ? std::optional(parsed->start) : std::nullopt;
    };
    EXPECT_EQ(sessionStartOfFolderName(u"2024-03-01_10-00-00"_s)->toUTC(),
              QDateTime(QDate(2024, 3, 1), QTime(9, 0), Qt::UTC));
    EXPECT_EQ(sessionStartOfFolderName(u"2024-07-01_10-00-00-3"_s)->toUTC(),
              QDateTime(QDate(2024, 7, 1), QTime(8, 0), Qt::UTC));
    for (const QString& name : {u"2024-03-01_10-00"_s, u"2024-03-01_10-00-00-"_s, u"2024-03-01_10-00-00-x"_s,
                                u"2024-02-30_10-00-00"_s, u"2024-03-01_25-00-00"_s, u"x2024-03-01_10-00-00"_s,
                                u"notes"_s, QString()})
        EXPECT_FALSE(sessionStartOfFolderName(name).has_value()) << name.toStdString();
}

} // namespace
} // namespace ebbcast
