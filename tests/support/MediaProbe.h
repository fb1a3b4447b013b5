#pragma once

#include <QString>
#include <QStringList>

class QProcess;

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

    struct Video {
        bool found = false;
        QString codec;
        QString profile;
        int width = 0;
        int height = 0;
        double averageFrameRate = 0;
        int decodedFrames = 0;
        double firstFrameTime = -1; // seconds, of the first decoded frame
        double lastFrameTime = -1;  // seconds, of the last decoded frame
    };

    static Stream firstAudioStream(const QString& path);
    static Decoded decodeAudio(const QString& path);
    // Decodes every frame of the first video stream.
    static Video decodeVideo(const QString& path);
    // The first video frame as 8-bit RGB, `width` * 3 bytes a line (empty when it cannot be decoded).
    static QByteArray firstFrameRgb(const QString& path);
};

// A window of moving content on $DISPLAY (the whole screen, or X Y WIDTH HEIGHT) until destroyed.
class TestPattern {
public:
    explicit TestPattern(const QStringList& area = {});
    ~TestPattern();

private:
    QProcess* process_;
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
