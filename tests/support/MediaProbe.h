#pragma once

#include <QString>

namespace ebbcast::test {

// What ffprobe and the ffmpeg decoder say of a media file: checks that do not trust our own writers.
class MediaProbe {
public:
    struct Stream {
        bool found = false;
        QString codec;
        QString profile;
        QString sampleFormat;
        int sampleRate = 0;
        int channels = 0;
        long long bitRate = 0;
        double duration = 0; // the container's duration
    };

    struct Decoded {
        bool ok = false;
        double seconds = 0; // audio actually decoded, at 48 kHz mono
        double rms = 0;     // root mean square of the decoded samples
    };

    static Stream firstAudioStream(const QString& path);
    static Decoded decodeAudio(const QString& path);
};

// Plays a 440 Hz tone into a PulseAudio sink until destroyed (paplay).
class TonePlayer {
public:
    TonePlayer(const QString& sink, const QString& workFolder, double seconds = 30);
    ~TonePlayer();

private:
    struct Process;
    Process* process_;
};

} // namespace ebbcast::test
