#include "support/MediaProbe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>

#include <cmath>
#include <cstring>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {

MediaProbe::Stream MediaProbe::firstAudioStream(const QString& path)
{
    QProcess ffprobe;
    ffprobe.start(u"ffprobe"_s, {u"-v"_s, u"error"_s, u"-print_format"_s, u"json"_s, u"-show_streams"_s,
                                 u"-show_format"_s, path});
    Stream result;
    if (!ffprobe.waitForFinished(30000) || ffprobe.exitCode() != 0)
        return result;
    const QJsonObject report = QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
    for (const QJsonValue& value : report.value(u"streams"_s).toArray()) {
        const QJsonObject stream = value.toObject();
        if (stream.value(u"codec_type"_s).toString() != u"audio")
            continue;
        result.found = true;
        result.codec = stream.value(u"codec_name"_s).toString();
        result.profile = stream.value(u"profile"_s).toString();
        result.sampleFormat = stream.value(u"sample_fmt"_s).toString();
        result.sampleRate = stream.value(u"sample_rate"_s).toString().toInt();
        result.channels = stream.value(u"channels"_s).toInt();
        result.bitRate = stream.value(u"bit_rate"_s).toString().toLongLong();
        break;
    }
    result.duration = report.value(u"format"_s).toObject().value(u"duration"_s).toString().toDouble();
    return result;
}

QByteArray MediaProbe::firstFrameRgb(const QString& path)
{
    QProcess ffmpeg;
    ffmpeg.start(u"ffmpeg"_s, {u"-v"_s, u"error"_s, u"-i"_s, path, u"-frames:v"_s, u"1"_s, u"-f"_s,
                               u"rawvideo"_s, u"-pix_fmt"_s, u"rgb24"_s, u"-"_s});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0)
        return {};
    return ffmpeg.readAllStandardOutput();
}

MediaProbe::Decoded MediaProbe::decodeAudio(const QString& path)
{
    QProcess ffmpeg;
    ffmpeg.start(u"ffmpeg"_s, {u"-v"_s, u"error"_s, u"-i"_s, path, u"-ac"_s, u"1"_s, u"-ar"_s, u"48000"_s,
                               u"-f"_s, u"f32le"_s, u"-"_s});
    Decoded result;
    if (!ffmpeg.waitForFinished(60000))
        return result;
    const QByteArray samples = ffmpeg.readAllStandardOutput();
    const qsizetype count = samples.size() / 4;
    double sum = 0;
    for (qsizetype i = 0; i < count; ++i) {
        float sample = 0;
        std::memcpy(&sample, samples.constData() + 4 * i, 4);
        sum += static_cast<double>(sample) * sample;
    }
    result.ok = ffmpeg.exitCode() == 0;
    result.seconds = static_cast<double>(count) / 48000.0;
    result.rms = count > 0 ? std::sqrt(sum / static_cast<double>(count)) : 0;
    return result;
}

MediaProbe::Video MediaProbe::decodeVideo(const QString& path)
{
    Video result;
    QProcess ffprobe;
    ffprobe.start(u"ffprobe"_s,
                  {u"-v"_s, u"error"_s, u"-select_streams"_s, u"v:0"_s, u"-print_format"_s, u"json"_s,
                   u"-show_streams"_s, u"-show_entries"_s, u"frame=best_effort_timestamp_time"_s, path});
    if (!ffprobe.waitForFinished(120000) || ffprobe.exitCode() != 0)
        return result;
    const QJsonObject report = QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
    const QJsonArray streams = report.value(u"streams"_s).toArray();
    if (streams.isEmpty())
        return result;
    const QJsonObject stream = streams.first().toObject();
    result.found = true;
    result.codec = stream.value(u"codec_name"_s).toString();
    result.profile = stream.value(u"profile"_s).toString();
    result.width = stream.value(u"width"_s).toInt();
    result.height = stream.value(u"height"_s).toInt();
    const QStringList rate = stream.value(u"avg_frame_rate"_s).toString().split(u'/');
    if (rate.size() == 2 && rate[1].toDouble() > 0)
        result.averageFrameRate = rate[0].toDouble() / rate[1].toDouble();
    const QJsonArray frames = report.value(u"frames"_s).toArray();
    result.decodedFrames = static_cast<int>(frames.size());
    if (!frames.isEmpty()) {
        result.firstFrameTime =
            frames.first().toObject().value(u"best_effort_timestamp_time"_s).toString().toDouble();
        result.lastFrameTime =
            frames.last().toObject().value(u"best_effort_timestamp_time"_s).toString().toDouble();
    }
    return result;
}

struct TonePlayer::Process {
    QProcess player;
};

TonePlayer::TonePlayer(const QString& sink, const QString& workFolder, double seconds)
    : process_(new Process)
{
    const QString tone = workFolder + u"/tone-"_s + sink + u".wav"_s;
    const int generated = QProcess::execute(u"sox"_s, {u"-n"_s, u"-r"_s, u"48000"_s, u"-c"_s, u"2"_s, u"-b"_s,
                                                       u"16"_s, tone, u"synth"_s, QString::number(seconds),
                                                       u"sine"_s, u"440"_s, u"vol"_s, u"0.5"_s});
    if (generated != 0)
        throw std::runtime_error("sox could not make a tone");
    process_->player.start(u"paplay"_s, {u"--latency-msec=20"_s, u"--device="_s + sink, tone});
    if (!process_->player.waitForStarted(5000))
        throw std::runtime_error("paplay did not start");
}

TestPattern::TestPattern(const QStringList& area)
    : process_(new QProcess)
{
    process_->start(QString::fromUtf8(EBBCAST_TEST_PATTERN), area);
    if (!process_->waitForStarted(5000))
        throw std::runtime_error("the test pattern did not start");
    QThread::msleep(800); // mapped and painting
}

TestPattern::~TestPattern()
{
    process_->kill();
    process_->waitForFinished(5000);
    delete process_;
}

TonePlayer::~TonePlayer()
{
    process_->player.kill();
    process_->player.waitForFinished(5000);
    delete process_;
}

} // namespace ebbcast::test
