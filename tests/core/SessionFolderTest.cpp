#include "core/documents/SessionFolder.h"

#include "core/base/FileError.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(SessionFolder, IdentifierIsTheStartTimeInTheLocalZone)
{
    // The tests run with TZ=Europe/Berlin: 08:15:02.700 UTC is 09:15:02 local time in December.
    EXPECT_EQ(SessionFolder::sessionID(QDateTime(QDate(2026, 12, 6), QTime(8, 15, 2, 700), Qt::UTC)),
              u"2026-12-06_09-15-02"_s);
    EXPECT_EQ(SessionFolder::sessionID(QDateTime(QDate(2026, 7, 1), QTime(22, 5, 9), Qt::UTC)),
              u"2026-07-02_00-05-09"_s);
}

TEST(SessionFolder, TakenNamesGetNumberedSuffixesInOrder)
{
    test::TemporaryFolder temporary;
    const QString root = temporary.file(u"Movies/Tavilon"_s); // created with its parents
    const QString id = u"2026-12-06_09-15-02"_s;

    EXPECT_EQ(SessionFolder::create(root, id), root + u"/2026-12-06_09-15-02"_s);
    EXPECT_EQ(SessionFolder::create(root, id), root + u"/2026-12-06_09-15-02-1"_s);
    test::TemporaryFolder::writeAll(root + u"/2026-12-06_09-15-02-2"_s, "a file takes the name too");
    EXPECT_EQ(SessionFolder::create(root, id), root + u"/2026-12-06_09-15-02-3"_s);
    EXPECT_TRUE(QFileInfo(root + u"/2026-12-06_09-15-02-3"_s).isDir());
}

TEST(SessionFolder, ConcurrentStartsInTheSameSecondGetDistinctFolders)
{
    test::TemporaryFolder temporary;
    std::mutex mutex;
    std::set<QString> created;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            const QString path = SessionFolder::create(temporary.path(), u"2026-12-06_09-15-02"_s);
            const std::lock_guard lock(mutex);
            created.insert(path);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(created.size(), 8U);
}

TEST(SessionFolder, RootThatCannotBeCreatedIsAFileError)
{
    test::TemporaryFolder temporary;
    test::TemporaryFolder::writeAll(temporary.file(u"blocker"_s), "not a folder");
    try {
        SessionFolder::create(temporary.file(u"blocker/Tavilon"_s), u"2026-12-06_09-15-02"_s);
        FAIL() << "created a folder below a file";
    } catch (const FileError& error) {
        EXPECT_EQ(error.code(), FileError::Code::createDirectoryFailed);
        EXPECT_TRUE(error.description().contains(u"blocker/Tavilon"_s));
    }
}

TEST(SessionFolder, FolderOfADocumentIsTheParentOfItsMetadataPath)
{
    EXPECT_EQ(SessionFolder::ofMetadataPath(u"/r/2026-12-06_09-15-02-1/metadata.json"_s),
              u"/r/2026-12-06_09-15-02-1"_s);
}

} // namespace
} // namespace ebbcast
