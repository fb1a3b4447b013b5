#include "capture/linux/FfmpegAacWriter.h"

#include <QScopeGuard>

using namespace Qt::StringLiterals;

namespace ebbcast {

FfmpegAacWriter::FfmpegAacWriter(const QString& path)
    : file_(path, "ipod",
            {u"Could not start the audio file"_s, u"Could not encode the audio for"_s,
             u"Could not write the audio file"_s, u"Could not finish the audio file"_s})
    , encoder_(file_, channelCount, bitRate)
{
    FfmpegOptions fileOptions;
    fileOptions.set("movflags", "+empty_moov+default_base_moof").set("frag_duration", fragmentMicroseconds);
    file_.start(fileOptions);
}

AudioMediaWriterFactory FfmpegAacWriter::factory()
{
    return [](const QString& path) -> std::unique_ptr<AudioMediaWriter> {
        return std::make_unique<FfmpegAacWriter>(path);
    };
}

void FfmpegAacWriter::append(const AudioSampleBuffer& buffer)
{
    if (buffer.channelCount <= 0 || buffer.sampleRate <= 0)
        return;
    const int frames = static_cast<int>(buffer.data.size() / (2 * buffer.channelCount));
    encoder_.append(buffer.data.constData(), frames, FfmpegAacEncoder::SampleFormat::s16, buffer.sampleRate,
                    buffer.channelCount);
}

void FfmpegAacWriter::finish()
{
    const auto closeFile = qScopeGuard([this] { file_.close(); });
    encoder_.finish();
    file_.finish();
}

} // namespace ebbcast
