#pragma once

#include <QString>
#include <QStringList>

namespace ebbcast::test {

// The sentences of tests/data/speech/sentences.txt and how they are spoken: the espeak-ng voice and rate
// and the word error rate the recognizer must stay within, from the file's "# voice" line.
struct SpokenSentences {
    QString voice;
    int rate = 0;
    double errorThreshold = 0;
    QStringList sentences;

    // Throws std::runtime_error when the file cannot be read or has no "# voice" line.
    static SpokenSentences load();

    // The audio files made of one text, as the recorders and the engine's own decoder take them.
    enum class Form {
        pcm16k,        // 16 kHz mono 16-bit WAV (sox -R), for pocketsphinx_continuous
        microphoneWav, // 48 kHz mono 32-bit float WAV, as the microphone recorder writes
        systemM4a,     // AAC in m4a, as the system-sound recorder writes
    };
    // Speaks `text` into `folder`/`name`.wav and converts it: the path of the file in `form`. Throws
    // std::runtime_error with the tool's message when one fails.
    QString speak(const QString& folder, const QString& name, const QString& text, Form form) const;
};

// Runs a program to its end and returns its standard output; throws std::runtime_error with its standard
// error when it cannot start, fails or takes more than a minute.
QByteArray runTool(const QString& program, const QStringList& arguments);

} // namespace ebbcast::test
