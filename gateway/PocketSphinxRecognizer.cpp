#include "gateway/PocketSphinxRecognizer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <mutex>
#include <type_traits>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

static_assert(std::is_same_v<mfcc_t, float>, "the cepstral mean is kept as float");

constexpr double framesPerSecond = 100;
// The blocks the audio is given to the decoder in (0.128 s, as the library's own command-line decoder reads
// its input): `cancelled` is asked and the decoder's speech detection looked at between two of them.
constexpr size_t blockSamples = 2048;

void silenceEngineLog()
{
    static std::once_flag once;
    std::call_once(once, [] { err_set_logfp(nullptr); });
}

// The first word of each line of the acoustic model's noise dictionary (<sil>, [NOISE], ...).
QSet<QString> readFillerWords(const QString& path)
{
    QSet<QString> words;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return words;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        const QString word = line.section(u' ', 0, 0, QString::SectionSkipEmpty);
        if (!word.isEmpty())
            words.insert(word);
    }
    return words;
}

// Ends the decoder's utterance when recognize() leaves in the middle of one (cancelled or failed), so that
// the next recording starts from a clean decoder.
class OpenUtterance {
public:
    explicit OpenUtterance(ps_decoder_t* decoder)
        : decoder_(decoder)
    {
        if (ps_start_utt(decoder_) < 0)
            throw RecognitionError("the speech engine could not start an utterance");
        open_ = true;
    }
    ~OpenUtterance()
    {
        if (open_)
            ps_end_utt(decoder_);
    }
    OpenUtterance(const OpenUtterance&) = delete;
    OpenUtterance& operator=(const OpenUtterance&) = delete;

    void end()
    {
        open_ = false;
        if (ps_end_utt(decoder_) < 0)
            throw RecognitionError("the speech engine could not end an utterance");
    }
    void restart()
    {
        if (ps_start_utt(decoder_) < 0)
            throw RecognitionError("the speech engine could not start an utterance");
        open_ = true;
    }

private:
    ps_decoder_t* decoder_;
    bool open_ = false;
};

} // namespace

void PocketSphinxRecognizer::FreeConfig::operator()(cmd_ln_s* config) const
{
    cmd_ln_free_r(config);
}

void PocketSphinxRecognizer::FreeDecoder::operator()(ps_decoder_s* decoder) const
{
    ps_free(decoder);
}

PocketSphinxRecognizer::PocketSphinxRecognizer(const QString& modelDirectory)
{
    const QDir folder(modelDirectory);
    const QString acousticModel = folder.filePath(u"en-us"_s);
    const QString languageModel = folder.filePath(u"en-us.lm.bin"_s);
    const QString dictionary = folder.filePath(u"cmudict-en-us.dict"_s);
    if (modelDirectory.isEmpty() || !QFileInfo(acousticModel).isDir() || !QFileInfo(languageModel).isFile() ||
        !QFileInfo(dictionary).isFile())
        throw RecognitionError(u"speech model not found in %1"_s.arg(modelDirectory).toStdString());

    silenceEngineLog();
    const QByteArray acousticModelPath = QFile::encodeName(acousticModel);
    const QByteArray languageModelPath = QFile::encodeName(languageModel);
    const QByteArray dictionaryPath = QFile::encodeName(dictionary);
    config_.reset(cmd_ln_init(nullptr, ps_args(), 1, "-hmm", acousticModelPath.constData(), "-lm",
                              languageModelPath.constData(), "-dict", dictionaryPath.constData(), nullptr));
    if (config_)
        decoder_.reset(ps_init(config_.get()));
    if (!decoder_)
        throw RecognitionError(
            u"the speech model in %1 could not be loaded"_s.arg(modelDirectory).toStdString());
    fillers_ = readFillerWords(QDir(acousticModel).filePath(u"noisedict"_s));
    initialCepstralMean_ = cepstralMean();
}

PocketSphinxRecognizer::~PocketSphinxRecognizer() = default;

QString PocketSphinxRecognizer::defaultModelDirectory()
{
    return u"/usr/share/pocketsphinx/model/en-us"_s;
}

QString PocketSphinxRecognizer::name() const
{
    return u"pocketsphinx"_s;
}

QString PocketSphinxRecognizer::version() const
{
#ifdef EBBCAST_POCKETSPHINX_VERSION
    return QStringLiteral(EBBCAST_POCKETSPHINX_VERSION);
#else
    return u"0.8"_s;
#endif
}

Recognition PocketSphinxRecognizer::recognize(const std::vector<qint16>& samples,
                                              const std::function<bool()>& cancelled)
{
    ps_decoder_t* decoder = decoder_.get();
    // A new stream: the noise level is measured afresh and the frames (of which the words' times are
    // counted) start again at 0.
    if (ps_start_stream(decoder) < 0)
        throw RecognitionError("the speech engine could not start");
    // Each recording starts from the model's own mean, so that its text does not depend on the recordings
    // this recognizer heard before.
    setCepstralMean(initialCepstralMean_);
    CepstralMean beforeUtterance = initialCepstralMean_;
    Recognition recognition;
    OpenUtterance utterance(decoder);
    bool inSpeech = false;
    // An utterance without words (the detector's false start on faint noise, as at the start of a recording)
    // would pull the mean towards that noise and spoil the next utterance: its update is undone.
    const auto collect = [&] {
        const size_t wordsBefore = recognition.segments.size();
        collectUtterance(recognition);
        if (recognition.segments.size() == wordsBefore)
            setCepstralMean(beforeUtterance);
        else
            beforeUtterance = cepstralMean();
    };
    for (size_t position = 0; position < samples.size();) {
        if (cancelled && cancelled())
            throw RecognitionCancelled();
        const size_t count = std::min(blockSamples, samples.size() - position);
        if (ps_process_raw(decoder, samples.data() + position, count, 0, 0) < 0)
            throw RecognitionError("the speech engine failed on the audio");
        position += count;
        // As the command-line decoder does: an utterance from the moment the decoder hears speech until it
        // hears it end.
        const bool speech = ps_get_in_speech(decoder) != 0;
        if (speech && !inSpeech) {
            inSpeech = true;
        } else if (!speech && inSpeech) {
            utterance.end();
            collect();
            utterance.restart();
            inSpeech = false;
        }
    }
    utterance.end();
    if (inSpeech)
        collect();

    QStringList words;
    for (const RecognizedSegment& segment : recognition.segments)
        words.append(segment.text);
    recognition.text = words.join(u' ');
    return recognition;
}

PocketSphinxRecognizer::CepstralMean PocketSphinxRecognizer::cepstralMean() const
{
    const cmn_t* normalization = ps_get_feat(decoder_.get())->cmn_struct;
    const auto size = static_cast<size_t>(normalization->veclen);
    return {{normalization->cmn_mean, normalization->cmn_mean + size},
            {normalization->sum, normalization->sum + size},
            normalization->nframe};
}

// The whole state: cmn_live_set would give the mean the weight of a long recording, which the next seconds of
// audio could not outweigh.
void PocketSphinxRecognizer::setCepstralMean(const CepstralMean& state)
{
    cmn_t* normalization = ps_get_feat(decoder_.get())->cmn_struct;
    std::copy(state.mean.begin(), state.mean.end(), normalization->cmn_mean);
    std::copy(state.sum.begin(), state.sum.end(), normalization->sum);
    normalization->nframe = state.frames;
}

void PocketSphinxRecognizer::collectUtterance(Recognition& into) const
{
    static const QRegularExpression alternativePronunciation(u"\\(\\d+\\)$"_s);
    for (ps_seg_t* segment = ps_seg_iter(decoder_.get()); segment != nullptr;
         segment = ps_seg_next(segment)) {
        QString word = QString::fromUtf8(ps_seg_word(segment));
        word.remove(alternativePronunciation);
        if (word.isEmpty() || isFiller(word))
            continue;
        int startFrame = 0;
        int endFrame = 0;
        ps_seg_frames(segment, &startFrame, &endFrame);
        into.segments.push_back({word, startFrame / framesPerSecond, (endFrame + 1) / framesPerSecond});
    }
}

bool PocketSphinxRecognizer::isFiller(const QString& word) const
{
    if (fillers_.contains(word))
        return true;
    return (word.startsWith(u'<') && word.endsWith(u'>')) || (word.startsWith(u'[') && word.endsWith(u']')) ||
           (word.startsWith("++"_L1) && word.endsWith("++"_L1));
}

} // namespace ebbcast
