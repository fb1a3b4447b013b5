#include "gateway/TranscribeFiles.h"

#include "gateway/PocketSphinxRecognizer.h"
#include "gateway/SpokenSentences.h"
#include "support/TemporaryFolder.h"
#include "support/WordErrorRate.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

TEST(TranscribeFiles, PrintsEachFilesTextAndTimingAndGoesOnPastOneThatIsNotAudio)
{
    TemporaryFolder folder;
    const SpokenSentences spoken = SpokenSentences::load();
    const QString first = u"my brother lives in a small house near the river"_s;
    const QString second = u"where is the nearest train station"_s;
    const QString microphone =
        spoken.speak(folder.path(), u"first"_s, first, SpokenSentences::Form::microphoneWav);
    const QString notes = folder.file(u"notes.txt"_s);
    TemporaryFolder::writeAll(notes, "not a recording\n");
    const QString system = spoken.speak(folder.path(), u"second"_s, second, SpokenSentences::Form::systemM4a);

    QString outText;
    QString errText;
    QTextStream out(&outText);
    QTextStream err(&errText);
    EXPECT_EQ(transcribeFiles({microphone, notes, system}, PocketSphinxRecognizer::defaultModelDirectory(),
                              out, err),
              1);
    out.flush();
    err.flush();

    const QStringList texts = outText.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(texts.size(), 2) << outText.toStdString();
    EXPECT_LE(WordErrorRate::errors(first, texts[0]), 2) << texts[0].toStdString();
    EXPECT_LE(WordErrorRate::errors(second, texts[1]), 2) << texts[1].toStdString();

    const QStringList lines = errText.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << errText.toStdString();
    EXPECT_TRUE(QRegularExpression(u"^model .*: loaded in \\d+\\.\\d\\d s$"_s).match(lines[0]).hasMatch())
        << lines[0].toStdString();
    EXPECT_EQ(lines[2], notes + ": not a media file"_L1);
    const double microphoneSeconds =
        QString::fromUtf8(runTool(u"soxi"_s, {u"-D"_s, microphone})).trimmed().toDouble();
    for (const auto& [line, file] : {std::pair{lines[1], microphone}, std::pair{lines[3], system}}) {
        const QRegularExpressionMatch timing =
            QRegularExpression(
                u"^%1: audio (\\d+\\.\\d) s, decode \\d+\\.\\d\\d s, recognize (\\d+\\.\\d\\d) s "
                "\\(cpu (\\d+\\.\\d\\d) s\\), real-time factor (\\d+\\.\\d{3})$"_s.arg(
                    QRegularExpression::escape(file)))
                .match(line);
        ASSERT_TRUE(timing.hasMatch()) << line.toStdString();
        const double audio = timing.captured(1).toDouble();
        const double cpu = timing.captured(3).toDouble();
        EXPECT_GT(cpu, 0.0);
        EXPECT_NEAR(timing.captured(4).toDouble(), cpu / audio, 0.01) << "CPU seconds per audio second";
        if (file == microphone) {
            EXPECT_NEAR(audio, microphoneSeconds, 0.06);
        }
    }
}

TEST(TranscribeFiles, AMissingModelEndsBeforeAnyFileWithThePlainMessage)
{
    TemporaryFolder folder;
    QString outText;
    QString errText;
    QTextStream out(&outText);
    QTextStream err(&errText);
    EXPECT_EQ(transcribeFiles({folder.file(u"a.wav"_s)}, folder.file(u"model"_s), out, err), 1);
    out.flush();
    err.flush();
    EXPECT_EQ(outText, QString());
    EXPECT_EQ(errText, "ebbcast-gateway: speech model not found in "_L1 + folder.file(u"model"_s) + u'\n');
}

} // namespace
} // namespace ebbcast::test
