#include "core/base/Logger.h"

#include "support/TemporaryFolder.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QDateTime fixedTime()
{
    return QDateTime(QDate(2026, 12, 6), QTime(8, 30, 38, 450), Qt::UTC);
}

TEST(Logger, WritesTimestampLevelAndMessageOnOneLine)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"Library/Logs/Tavilon/app.log"_s);
    {
        Logger logger(path, fixedTime);
        EXPECT_TRUE(QFileInfo(path).absoluteDir().exists()) << "the folder exists from construction on";
        EXPECT_FALSE(QFileInfo::exists(path)) << "the file appears with the first line";
        logger.info(u"Recording stopped"_s);
        logger.error(u"Failed to write metadata: disk full"_s);
        logger.info(u"two\nlines \u00e9"_s);
    }
    EXPECT_EQ(test::TemporaryFolder::readAll(path),
              QByteArray("2026-12-06T08:30:38Z [INFO] Recording stopped\n"
                         "2026-12-06T08:30:38Z [ERROR] Failed to write metadata: disk full\n"
                         "2026-12-06T08:30:38Z [INFO] two\nlines \xc3\xa9\n"));
}

TEST(Logger, TakesTheTimestampWhenTheLineIsWrittenOnTheLogThread)
{
    test::TemporaryFolder folder;
    std::thread::id clockThread;
    Logger logger(folder.file(u"app.log"_s), [&clockThread] {
        clockThread = std::this_thread::get_id();
        return fixedTime();
    });
    logger.info(u"x"_s);
    logger.flush();
    EXPECT_NE(clockThread, std::this_thread::get_id());
}

TEST(Logger, LinesFromSeveralThreadsStayWholeAndInCallOrderPerThread)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"app.log"_s);
    constexpr int threads = 4;
    constexpr int linesPerThread = 250;
    {
        Logger logger(path, fixedTime);
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([&logger, t] {
                for (int i = 0; i < linesPerThread; ++i)
                    logger.info(u"thread %1 line %2 "_s.arg(t).arg(i) + QString(200, u'x'));
            });
        }
        for (auto& writer : writers)
            writer.join();
    }
    const QList<QByteArray> lines = test::TemporaryFolder::readAll(path).split('\n');
    ASSERT_EQ(lines.size(), threads * linesPerThread + 1);
    std::vector<int> next(threads, 0);
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        ASSERT_TRUE(line.startsWith("2026-12-06T08:30:38Z [INFO] thread ")) << line.constData();
        ASSERT_TRUE(line.endsWith(QByteArray(200, 'x')));
        const QList<QByteArray> words = line.split(' ');
        const int thread = words.at(3).toInt();
        EXPECT_EQ(words.at(5).toInt(), next[thread]++);
    }
}

TEST(Logger, RecreatesADeletedFileWithOnlyLaterLines)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"app.log"_s);
    Logger logger(path, fixedTime);
    logger.info(u"before"_s);
    logger.flush();
    ASSERT_TRUE(QFile::remove(path));
    logger.info(u"after"_s);
    logger.flush();
    EXPECT_EQ(test::TemporaryFolder::readAll(path), QByteArray("2026-12-06T08:30:38Z [INFO] after\n"));
}

TEST(Logger, ReportsWriteFailuresOutsideTheLogAndNeverThrows)
{
    test::TemporaryFolder folder;
    std::mutex mutex;
    QStringList reports;
    const auto collect = [&](const QString& report) {
        const std::lock_guard lock(mutex);
        reports.append(report);
    };
    {
        Logger unopenable(folder.path(), fixedTime, collect); // a folder cannot be opened for appending
        unopenable.info(u"lost"_s);
        unopenable.flush(); // two loggers are two queues: keep the reports in order
        Logger full(u"/dev/full"_s, fixedTime, collect);
        full.error(u"lost too"_s);
    }
    ASSERT_EQ(reports.size(), 2);
    EXPECT_EQ(reports.at(0), u"Tavilon log write failed: Is a directory"_s);
    EXPECT_EQ(reports.at(1), u"Tavilon log write failed: No space left on device"_s);
}

TEST(Logger, DropsTextThatIsNotValidUnicode)
{
    test::TemporaryFolder folder;
    const QString path = folder.file(u"app.log"_s);
    {
        Logger logger(path, fixedTime);
        logger.info(QString(QChar(0xD800)) + u"lone surrogate"_s);
        logger.info(u"kept"_s);
    }
    EXPECT_EQ(test::TemporaryFolder::readAll(path), QByteArray("2026-12-06T08:30:38Z [INFO] kept\n"));
}

} // namespace
} // namespace ebbcast
