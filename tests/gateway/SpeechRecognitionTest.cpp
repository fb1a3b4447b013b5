// The speech engine on espeak-ng's sentences (tests/data/speech/sentences.txt) as the recorders write them,
// measured against what was said and against the engine's own command-line decoder.
#include "gateway/AudioDecoder.h"
#include "gateway/PocketSphinxRecognizer.h"
#include "gateway/SpokenSentences.h"
#include "support/TemporaryFolder.h"
#include "support/WordErrorRate.h"

#include <QDir>

#include <gtest/gtest.h>

#include <iostream>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

using Form = SpokenSentences::Form;

const auto never = [] {
    return false;
};

// What pocketsphinx_continuous hears in a 16 kHz WAV: its hypothesis lines, one per utterance.
QString commandLineDecoderHears(const QString& pcm16k)
{
    const QString output = QString::fromUtf8(runTool(u"pocketsphinx_continuous"_s, {u"-infile"_s, pcm16k}));
    return output.split(u'\n', Qt::SkipEmptyParts).join(u' ').simplified();
}

std::vector<qint16> decode(const QString& path)
{
    return AudioDecoder::decodeMono16k(path, never);
}

// Every sentence in `form` through the decoder and one recognizer, and with `alsoCommandLine` through the
// engine's own command-line decoder too.
struct Measured {
    WordErrorRate ours;
    WordErrorRate commandLine;
    QString report;
};

Measured measureSentences(Form form, bool alsoCommandLine)
{
    TemporaryFolder folder;
    const SpokenSentences spoken = SpokenSentences::load();
    PocketSphinxRecognizer recognizer(PocketSphinxRecognizer::defaultModelDirectory());
    Measured measured;
    for (qsizetype i = 0; i < spoken.sentences.size(); ++i) {
        const QString& said = spoken.sentences[i];
        const QString audio = spoken.speak(folder.path(), u"sentence%1"_s.arg(i), said, form);
        const QString heard = recognizer.recognize(decode(audio), never).text;
        measured.ours.add(said, heard);
        measured.report += u"said:  %1\nheard: %2\n"_s.arg(said, heard);
        if (alsoCommandLine) {
            const QString reference = commandLineDecoderHears(audio);
            measured.commandLine.add(said, reference);
            measured.report += u"pocketsphinx_continuous: %1\n"_s.arg(reference);
        }
    }
    std::cout << "word error rate: " << measured.ours.rate();
    if (alsoCommandLine)
        std::cout << " (pocketsphinx_continuous " << measured.commandLine.rate() << ")";
    std::cout << "\n";
    return measured;
}

// The same 16 kHz files as the command-line decoder: the utterances, blocks and fillers are handled as well.
TEST(SpeechRecognition, SentencesAreHeardWithinTheThresholdAndAsWellAsByTheEnginesOwnDecoder)
{
    const Measured measured = measureSentences(Form::pcm16k, true);
    const std::string report = measured.report.toStdString();
    EXPECT_LE(measured.ours.rate(), SpokenSentences::load().errorThreshold) << report;
    EXPECT_LE(measured.ours.rate(), measured.commandLine.rate() + 0.05) << report;
}

TEST(SpeechRecognition, SentencesAsTheRecordersWriteThemStayWithinTheThreshold)
{
    for (const Form form : {Form::microphoneWav, Form::systemM4a}) {
        const Measured measured = measureSentences(form, false);
        EXPECT_LE(measured.ours.rate(), SpokenSentences::load().errorThreshold)
            << measured.report.toStdString();
    }
}

TEST(SpeechRecognition, SilenceGivesNoText)
{
    TemporaryFolder folder;
    const QString silence = folder.file(u"silence.wav"_s);
    runTool(u"sox"_s, {u"-n"_s, u"-r"_s, u"48000"_s, u"-c"_s, u"1"_s, u"-e"_s, u"floating-point"_s, u"-b"_s,
                       u"32"_s, silence, u"trim"_s, u"0"_s, u"5"_s});
    PocketSphinxRecognizer recognizer(PocketSphinxRecognizer::defaultModelDirectory());
    const Recognition recognition = recognizer.recognize(decode(silence), never);
    EXPECT_EQ(recognition.text, QString());
    EXPECT_TRUE(recognition.segments.empty());
    EXPECT_EQ(recognizer.name(), u"pocketsphinx"_s);
    EXPECT_FALSE(recognizer.version().isEmpty());
}

TEST(SpeechRecognition, WordTimesPlaceEachSentenceWhereItWasSaid)
{
    TemporaryFolder folder;
    const SpokenSentences spoken = SpokenSentences::load();
    const QString first = u"my brother lives in a small house near the river"_s;
    const QString second = u"where is the nearest train station"_s;
    spoken.speak(folder.path(), u"first"_s, first, Form::pcm16k);
    spoken.speak(folder.path(), u"second"_s, second, Form::pcm16k);
    const double firstSeconds =
        QString::fromUtf8(runTool(u"soxi"_s, {u"-D"_s, folder.file(u"first.wav"_s)})).toDouble();
    // Two seconds of silence, the first sentence, a second and a half of silence, the second sentence.
    const QString together = folder.file(u"together.wav"_s);
    runTool(u"sox"_s,
            {folder.file(u"first.wav"_s), folder.file(u"padded.wav"_s), u"pad"_s, u"2"_s, u"1.5"_s});
    runTool(u"sox"_s, {u"-R"_s, folder.file(u"padded.wav"_s), folder.file(u"second.wav"_s), u"-r"_s,
                       u"48000"_s, u"-e"_s, u"floating-point"_s, u"-b"_s, u"32"_s, together});

    PocketSphinxRecognizer recognizer(PocketSphinxRecognizer::defaultModelDirectory());
    const std::vector<qint16> samples = decode(together);
    const Recognition recognition = recognizer.recognize(samples, never);
    EXPECT_LE(WordErrorRate::errors(first + u' ' + second, recognition.text), 2)
        << recognition.text.toStdString();
    ASSERT_GE(recognition.segments.size(), 2U);
    EXPECT_NEAR(recognition.segments.front().startSeconds, 2.0, 0.3);
    EXPECT_LE(recognition.segments.back().endSeconds, static_cast<double>(samples.size()) / 16000 + 0.05);
    // The words follow each other; the pause is between the two sentences.
    double longestPause = 0;
    double afterLongestPause = 0;
    for (size_t i = 0; i < recognition.segments.size(); ++i) {
        const RecognizedSegment& segment = recognition.segments[i];
        EXPECT_LT(segment.startSeconds, segment.endSeconds);
        if (i == 0)
            continue;
        const double pause = segment.startSeconds - recognition.segments[i - 1].endSeconds;
        EXPECT_GE(pause, 0.0);
        if (pause > longestPause) {
            longestPause = pause;
            afterLongestPause = segment.startSeconds;
        }
    }
    EXPECT_GT(longestPause, 1.0);
    EXPECT_NEAR(afterLongestPause, 2.0 + firstSeconds + 1.5, 0.3);
}

TEST(SpeechRecognition, EachRecordingGetsTheSameTextWhateverTheRecognizerHeardBefore)
{
    TemporaryFolder folder;
    const SpokenSentences spoken = SpokenSentences::load();
    std::vector<std::vector<qint16>> recordings;
    for (qsizetype i = 0; i < std::min<qsizetype>(spoken.sentences.size(), 4); ++i)
        recordings.push_back(decode(
            spoken.speak(folder.path(), u"sentence%1"_s.arg(i), spoken.sentences[i], Form::microphoneWav)));
    PocketSphinxRecognizer used(PocketSphinxRecognizer::defaultModelDirectory());
    for (size_t i = 0; i + 1 < recordings.size(); ++i)
        used.recognize(recordings[i], never);

    PocketSphinxRecognizer fresh(PocketSphinxRecognizer::defaultModelDirectory());
    const Recognition expected = fresh.recognize(recordings.back(), never);
    const Recognition heard = used.recognize(recordings.back(), never);
    EXPECT_EQ(heard.text, expected.text);
    ASSERT_EQ(heard.segments.size(), expected.segments.size());
    for (size_t i = 0; i < heard.segments.size(); ++i)
        EXPECT_DOUBLE_EQ(heard.segments[i].startSeconds, expected.segments[i].startSeconds);
}

TEST(SpeechRecognition, CancelledStopsWithinHalfASecondOfAudioAndLeavesTheRecognizerUsable)
{
    TemporaryFolder folder;
    const SpokenSentences spoken = SpokenSentences::load();
    const std::vector<qint16> sentence =
        decode(spoken.speak(folder.path(), u"sentence"_s, spoken.sentences.front(), Form::microphoneWav));
    PocketSphinxRecognizer recognizer(PocketSphinxRecognizer::defaultModelDirectory());
    const Recognition before = recognizer.recognize(sentence, never);

    std::vector<qint16> longer;
    for (int i = 0; i < 4; ++i)
        longer.insert(longer.end(), sentence.begin(), sentence.end());
    int asked = 0;
    recognizer.recognize(longer, [&] { return ++asked < 0; });
    EXPECT_GE(asked, static_cast<int>(longer.size() / 8000));

    asked = 0;
    EXPECT_THROW(recognizer.recognize(longer, [&] { return ++asked == 3; }), RecognitionCancelled);
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(recognizer.recognize(sentence, never).text, before.text)
        << "a cancelled utterance leaves nothing";
}

TEST(SpeechRecognition, AMissingOrBrokenModelIsNamedPlainly)
{
    TemporaryFolder folder;
    const QString missing = folder.file(u"missing"_s);
    const QString partial = folder.file(u"partial"_s);
    ASSERT_TRUE(QDir().mkpath(partial + "/en-us"_L1));
    TemporaryFolder::writeAll(partial + "/cmudict-en-us.dict"_L1, "hello HH AH L OW\n");
    const QString broken = folder.file(u"broken"_s);
    ASSERT_TRUE(QDir().mkpath(broken + "/en-us"_L1));
    TemporaryFolder::writeAll(broken + "/cmudict-en-us.dict"_L1, "hello HH AH L OW\n");
    TemporaryFolder::writeAll(broken + "/en-us.lm.bin"_L1, "not a language model");

    const std::vector<std::pair<QString, QString>> cases = {
        {missing, u"speech model not found in "_s + missing},
        {partial, u"speech model not found in "_s + partial},
        {broken, u"the speech model in "_s + broken + " could not be loaded"_L1},
    };
    for (const auto& [folderPath, message] : cases) {
        try {
            PocketSphinxRecognizer recognizer(folderPath);
            ADD_FAILURE() << "loaded from " << folderPath.toStdString();
        } catch (const RecognitionError& error) {
            EXPECT_EQ(QString::fromUtf8(error.what()), message);
        }
    }
}

} // namespace
} // namespace ebbcast::test
