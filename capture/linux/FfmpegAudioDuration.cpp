#include "capture/linux/FfmpegAudioDuration.h"

#include "capture/linux/FfmpegHandles.h"
#include "capture/linux/FfmpegSupport.h"

#include <QFile>

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

namespace ebbcast {

std::optional<double> FfmpegAudioDuration::seconds(const QString& path)
{
    FfmpegSupport::initialize();
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return std::nullopt;
    const FfmpegInput format(opened);
    const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (stream < 0)
        return std::nullopt;
    const FfmpegPacket packet(av_packet_alloc());
    if (!packet)
        return std::nullopt;

    std::optional<std::int64_t> first;
    std::optional<std::int64_t> last;
    // A read error (a fragment cut off in the middle) ends the file like its end does.
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        const std::int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (packet->stream_index == stream && start != AV_NOPTS_VALUE) {
            const std::int64_t end = start + std::max<std::int64_t>(packet->duration, 0);
            first = std::min(first.value_or(start), start);
            last = std::max(last.value_or(end), end);
        }
        av_packet_unref(packet.get());
    }
    if (!first)
        return 0.0;
    return static_cast<double>(*last - *first) * av_q2d(format->streams[stream]->time_base);
}

} // namespace ebbcast
