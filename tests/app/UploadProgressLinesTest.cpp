#include "app/UploadProgressLines.h"

#include "app/Console.h"

#include <QBuffer>

#include <gtest/gtest.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using Progress = UploadManager::Progress;
using Kind = UploadManager::Progress::Kind;

// Standard error of a console, on a terminal or not, with a clock the test moves.
class UploadProgressLinesTest : public ::testing::Test {
protected:
    QString run(bool terminal, const std::vector<std::pair<qint64, Progress>>& steps,
                QString* counts = nullptr)
    {
        QBuffer out;
        QBuffer err;
        out.open(QIODevice::WriteOnly);
        err.open(QIODevice::WriteOnly);
        {
            Console console(out, err, 0, terminal);
            qint64 now = 0;
            UploadProgressLines lines(console, [&now] { return now; });
            for (const auto& [at, progress] : steps) {
                now = at;
                lines.report(progress);
            }
            if (counts)
                *counts = lines.counts();
        }
        return QString::fromUtf8(err.data());
    }

    static Progress started(int index, int count, const QString& key, const QString& label, qint64 total)
    {
        return ended(Kind::fileStarted, index, count, key, label, total);
    }
    static Progress sent(qint64 bytes, qint64 total)
    {
        Progress progress;
        progress.kind = Kind::fileProgress;
        progress.sent = bytes;
        progress.total = total;
        return progress;
    }
    static Progress ended(Kind kind, int index, int count, const QString& key, const QString& label,
                          qint64 total = 0, double seconds = 0, const QString& error = {})
    {
        Progress progress;
        progress.kind = kind;
        progress.index = index;
        progress.count = count;
        progress.key = key;
        progress.folderLabel = label;
        progress.total = total;
        progress.seconds = seconds;
        progress.error = error;
        return progress;
    }
    static Progress processing(Kind kind, const QStringList& videoKeys = {})
    {
        Progress progress;
        progress.kind = kind;
        progress.videoKeys = videoKeys;
        return progress;
    }
};

TEST_F(UploadProgressLinesTest, OneLinePerFileWithItsOutcome)
{
    const QString label = u"01 Live Chunks"_s;
    QString counts;
    const QString err = run(false,
                            {{0, started(1, 4, u"chunks/a.wav"_s, label, 9856614)},
                             {1200, ended(Kind::fileUploaded, 1, 4, u"chunks/a.wav"_s, label, 9856614, 1.23)},
                             {1200, ended(Kind::fileAlreadyOnDrive, 2, 4, u"chunks/b.wav"_s, label)},
                             {1300, ended(Kind::fileSkipped, 3, 4, u"chunks/c.wav"_s, label)},
                             {1300, ended(Kind::fileFailed, 4, 4, u"metadata.json"_s, u"session root"_s, 0, 0,
                                          u"Permission denied"_s)}},
                            &counts);
    EXPECT_EQ(err, u"[1/4] chunks/a.wav → 01 Live Chunks: uploaded (9.4 MiB, 1.2 s)\n"
                   "[2/4] chunks/b.wav → 01 Live Chunks: already uploaded\n"
                   "[3/4] chunks/c.wav → 01 Live Chunks: skipped (no longer there)\n"
                   "[4/4] metadata.json → session root: failed: Permission denied\n"_s);
    EXPECT_EQ(counts, u"1 uploaded (9.4 MiB), 1 already uploaded, 1 skipped, 1 failed"_s);
}

TEST_F(UploadProgressLinesTest, PercentagesAtMostEveryTwoSecondsInPlaceOnlyOnATerminal)
{
    const qint64 total = 400 * 1024 * 1024;
    const std::vector<std::pair<qint64, Progress>> steps{
        {0, started(2, 2, u"screen.mov"_s, u"03 Final Recording"_s, total)},
        {1000, sent(total / 8, total)},     // too soon
        {2000, sent(total / 4, total)},     // shown
        {3999, sent(total / 2, total)},     // too soon after the last one
        {4000, sent(total * 3 / 4, total)}, // shown
        {4500, ended(Kind::fileUploaded, 2, 2, u"screen.mov"_s, u"03 Final Recording"_s, total, 4.5)},
        {4500, processing(Kind::processingStarted, {u"screen.mov"_s})},
        {9000, processing(Kind::processingFinished)},
    };
    const QString uploaded = u"[2/2] screen.mov → 03 Final Recording: uploaded (400.0 MiB, 4.5 s)\n"_s;
    const QString waiting = u"Waiting for Google Drive to process the movies: screen.mov\n"
                            "Google Drive has processed the movies.\n"_s;

    EXPECT_EQ(run(false, steps), u"[2/2] screen.mov → 03 Final Recording: 25% of 400.0 MiB\n"
                                 "[2/2] screen.mov → 03 Final Recording: 75% of 400.0 MiB\n"_s +
                                     uploaded + waiting);

    const QString first = u"[2/2] screen.mov → 03 Final Recording: 25% of 400.0 MiB"_s;
    const QString second = u"[2/2] screen.mov → 03 Final Recording: 75% of 400.0 MiB"_s;
    const QString onTerminal = run(true, steps);
    EXPECT_EQ(onTerminal, u"\r"_s + first + u"\r"_s + second + u"\r"_s + QString(second.size(), u' ') +
                              u"\r"_s + uploaded + waiting)
        << "the percentage is rewritten in place and blanked before the file's line";
}

TEST_F(UploadProgressLinesTest, SizesInTheLargestUnitThatFits)
{
    const std::vector<std::pair<qint64, QString>> cases{
        {0, u"0 B"_s},
        {1023, u"1023 B"_s},
        {1024, u"1.0 KiB"_s},
        {300 * 1024, u"300.0 KiB"_s},
        {1024 * 1024, u"1.0 MiB"_s},
        {9856614, u"9.4 MiB"_s},
        {qint64(1024) * 1024 * 1024, u"1.0 GiB"_s},
        {qint64(5) * 1024 * 1024 * 1024 + qint64(512) * 1024 * 1024, u"5.5 GiB"_s},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(UploadProgressLines::sizeText(bytes), text) << bytes;
}

} // namespace
} // namespace ebbcast
