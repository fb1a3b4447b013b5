#include "gateway/AudioDecoder.h"

#include "gateway/SpeechRecognizer.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <memory>
#include <mutex>
#include <variant>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

struct CloseInput {
    void operator()(AVFormatContext* input) const { avformat_close_input(&input); }
};
struct FreeCodec {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct FreeFrame {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct FreePacket {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FreeResampler {
    void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};

using Input = std::unique_ptr<AVFormatContext, CloseInput>;
using Codec = std::unique_ptr<AVCodecContext, FreeCodec>;
using Frame = std::unique_ptr<AVFrame, FreeFrame>;
using Packet = std::unique_ptr<AVPacket, FreePacket>;
using Resampler = std::unique_ptr<SwrContext, FreeResampler>;

// Damaged uploads are expected: the gateway gives its own short reasons, so FFmpeg's log stays quiet.
void silenceFfmpegLog()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Whether FFmpeg recognises the content at the file's start (as a truncated file whose index is missing).
bool recognisedFormat(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray head = file.read(4096);
    const int size = static_cast<int>(head.size());
    head.append(QByteArray(AVPROBE_PADDING_SIZE, '\0'));
    const QByteArray name = QFile::encodeName(path);
    AVProbeData probe{};
    probe.filename = name.constData();
    probe.buf = reinterpret_cast<unsigned char*>(head.data());
    probe.buf_size = size;
    int score = 0;
    return av_probe_input_format3(&probe, 1, &score) != nullptr && score >= AVPROBE_SCORE_EXTENSION;
}

// The first audio stream of an opened file with its decoder ready, or the reason there is none.
struct OpenedAudio {
    Input input;
    Codec codec;
    int stream = -1;
};

std::variant<OpenedAudio, QString> openAudio(const QString& path)
{
    silenceFfmpegLog();
    const QFileInfo info(path);
    if (!info.exists())
        return u"file not found"_s;
    if (!info.isFile())
        return u"not a regular file"_s;
    if (info.size() == 0)
        return u"empty file"_s;

    OpenedAudio audio;
    AVFormatContext* opened = nullptr;
    const int status = avformat_open_input(&opened, QFile::encodeName(path).constData(), nullptr, nullptr);
    if (status < 0) {
        if (status != AVERROR_INVALIDDATA) {
            char reason[AV_ERROR_MAX_STRING_SIZE] = {};
            av_strerror(status, reason, sizeof reason);
            return u"unreadable: %1"_s.arg(QString::fromLocal8Bit(reason).toLower());
        }
        return recognisedFormat(path) ? u"truncated or damaged"_s : u"not a media file"_s;
    }
    audio.input.reset(opened);
    if (avformat_find_stream_info(audio.input.get(), nullptr) < 0)
        return u"truncated or damaged"_s;

    const AVCodec* decoder = nullptr;
    audio.stream = av_find_best_stream(audio.input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (audio.stream == AVERROR_STREAM_NOT_FOUND)
        return u"no audio stream"_s;
    if (audio.stream < 0 || decoder == nullptr)
        return u"no decoder for its audio"_s;

    audio.codec.reset(avcodec_alloc_context3(decoder));
    if (!audio.codec)
        return u"out of memory"_s;
    if (avcodec_parameters_to_context(audio.codec.get(), audio.input->streams[audio.stream]->codecpar) < 0 ||
        avcodec_open2(audio.codec.get(), decoder, nullptr) < 0)
        return u"its audio decoder cannot be opened"_s;
    return audio;
}

// Converts decoded frames to 16 kHz mono s16, set up from the first frame and again whenever the format of
// the frames changes mid-stream.
class MonoResampler {
public:
    explicit MonoResampler(std::vector<qint16>& output)
        : output_(output)
    {}
    ~MonoResampler()
    {
        av_channel_layout_uninit(&frameLayout_);
        av_channel_layout_uninit(&layout_);
    }
    MonoResampler(const MonoResampler&) = delete;
    MonoResampler& operator=(const MonoResampler&) = delete;

    void convert(const AVFrame& frame)
    {
        if (!resampler_ || frame.format != format_ || frame.sample_rate != rate_ ||
            av_channel_layout_compare(&frame.ch_layout, &frameLayout_) != 0)
            restart(frame);
        run(const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
    }

    // Whatever the resampler still holds.
    void flush()
    {
        if (resampler_)
            run(nullptr, 0);
    }

private:
    void restart(const AVFrame& frame)
    {
        flush();
        resampler_.reset();
        av_channel_layout_uninit(&frameLayout_);
        av_channel_layout_uninit(&layout_);
        format_ = frame.format;
        rate_ = frame.sample_rate;
        if (av_channel_layout_copy(&frameLayout_, &frame.ch_layout) < 0)
            throw AudioDecodeError("out of memory");
        // A file that names no channel positions (a mono float WAV does not) is read as the usual layout for
        // its number of channels.
        if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&layout_, frame.ch_layout.nb_channels);
        else if (av_channel_layout_copy(&layout_, &frame.ch_layout) < 0)
            throw AudioDecodeError("out of memory");

        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* created = nullptr;
        if (swr_alloc_set_opts2(&created, &mono, AV_SAMPLE_FMT_S16, AudioDecoder::sampleRate, &layout_,
                                static_cast<AVSampleFormat>(format_), rate_, 0, nullptr) < 0)
            throw AudioDecodeError("unsupported audio format");
        resampler_.reset(created);
        // Dithered to 16 bits as sox does (with a fixed seed, so a file always gives the same samples): the
        // engine's speech detection hears digital silence and the faintest noise differently.
        av_opt_set_int(resampler_.get(), "dither_method", SWR_DITHER_TRIANGULAR, 0);
        if (swr_init(resampler_.get()) < 0)
            throw AudioDecodeError("unsupported audio format");
    }

    void run(const uint8_t** input, int inputSamples)
    {
        const int room = swr_get_out_samples(resampler_.get(), inputSamples);
        if (room <= 0)
            return;
        const size_t start = output_.size();
        output_.resize(start + static_cast<size_t>(room));
        auto* destination = reinterpret_cast<uint8_t*>(output_.data() + start);
        const int written = swr_convert(resampler_.get(), &destination, room, input, inputSamples);
        output_.resize(start + static_cast<size_t>(std::max(written, 0)));
    }

    std::vector<qint16>& output_;
    Resampler resampler_;
    int format_ = -1;
    int rate_ = 0;
    AVChannelLayout frameLayout_{}; // as the decoder gives it
    AVChannelLayout layout_{};      // as the resampler takes it
};

} // namespace

std::optional<QString> AudioDecoder::problem(const QString& path)
{
    try {
        auto opened = openAudio(path);
        if (const auto* reason = std::get_if<QString>(&opened))
            return *reason;
        return std::nullopt;
    } catch (const std::exception&) {
        return u"unreadable"_s;
    }
}

std::vector<qint16> AudioDecoder::decodeMono16k(const QString& path, const std::function<bool()>& cancelled)
{
    auto opened = openAudio(path);
    if (const auto* reason = std::get_if<QString>(&opened))
        throw AudioDecodeError(reason->toStdString());
    OpenedAudio& audio = std::get<OpenedAudio>(opened);

    const Packet packet(av_packet_alloc());
    const Frame frame(av_frame_alloc());
    if (!packet || !frame)
        throw AudioDecodeError("out of memory");

    std::vector<qint16> samples;
    MonoResampler resampler(samples);
    const auto receiveFrames = [&] {
        while (avcodec_receive_frame(audio.codec.get(), frame.get()) >= 0) {
            resampler.convert(*frame);
            av_frame_unref(frame.get());
        }
    };
    // A read error is where a truncated file ends: what came before it is kept. A packet the decoder refuses
    // is skipped.
    while (av_read_frame(audio.input.get(), packet.get()) >= 0) {
        if (cancelled && cancelled()) {
            av_packet_unref(packet.get());
            throw RecognitionCancelled();
        }
        if (packet->stream_index == audio.stream && avcodec_send_packet(audio.codec.get(), packet.get()) >= 0)
            receiveFrames();
        av_packet_unref(packet.get());
    }
    if (avcodec_send_packet(audio.codec.get(), nullptr) >= 0)
        receiveFrames();
    resampler.flush();
    if (samples.empty())
        throw AudioDecodeError("no decodable audio");
    return samples;
}

} // namespace ebbcast
