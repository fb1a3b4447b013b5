#pragma once

#include "gateway/SpeechRecognizer.h"

#include <QSet>
#include <QString>

#include <memory>
#include <vector>

struct cmd_ln_s;
struct ps_decoder_s;

namespace ebbcast {

// The offline English recognizer: one pocketsphinx decoder with the en-us acoustic model, language model and
// dictionary, loaded once by the constructor and then used for one recording at a time by one thread. The
// audio is split into utterances where the decoder's own voice-activity detection hears speech end; the
// segments are the words heard, with their times in the recording. The library's log is silenced.
class PocketSphinxRecognizer final : public SpeechRecognizer {
public:
    // `modelDirectory` holds en-us/ (the acoustic model), en-us.lm.bin and cmudict-en-us.dict. Throws
    // RecognitionError "speech model not found in <folder>" when one is missing, or another plain reason when
    // the model cannot be loaded.
    explicit PocketSphinxRecognizer(const QString& modelDirectory);
    ~PocketSphinxRecognizer() override;

    PocketSphinxRecognizer(const PocketSphinxRecognizer&) = delete;
    PocketSphinxRecognizer& operator=(const PocketSphinxRecognizer&) = delete;

    // Where Debian's pocketsphinx-en-us puts the model.
    static QString defaultModelDirectory();

    QString name() const override;
    QString version() const override;
    Recognition recognize(const std::vector<qint16>& samples,
                          const std::function<bool()>& cancelled) override;

private:
    struct FreeConfig {
        void operator()(cmd_ln_s* config) const;
    };
    struct FreeDecoder {
        void operator()(ps_decoder_s* decoder) const;
    };

    // The decoder's estimate of the recording's cepstral mean, which it updates at the end of each utterance.
    struct CepstralMean {
        std::vector<float> mean;
        std::vector<float> sum;
        int frames = 0;
    };
    CepstralMean cepstralMean() const;
    void setCepstralMean(const CepstralMean& state);
    // The words of the utterance just ended, appended to `into` with their times in the recording.
    void collectUtterance(Recognition& into) const;
    bool isFiller(const QString& word) const;

    std::unique_ptr<cmd_ln_s, FreeConfig> config_;
    std::unique_ptr<ps_decoder_s, FreeDecoder> decoder_; // after config_: freed before it
    QSet<QString> fillers_;                              // the model's noise dictionary
    CepstralMean initialCepstralMean_;                   // the model's own, before any audio
};

} // namespace ebbcast
