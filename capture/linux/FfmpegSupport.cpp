#include "capture/linux/FfmpegSupport.h"

#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace ebbcast {

QString FfmpegSupport::errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

void FfmpegSupport::initialize()
{
    static std::once_flag done;
    std::call_once(done, [] {
        av_log_set_level(AV_LOG_FATAL);
        avdevice_register_all();
    });
}

int FfmpegSupport::writeEncodedPackets(AVCodecContext* encoder, AVFormatContext* format, AVStream* stream,
                                       AVPacket* packet, bool& writing)
{
    int result = 0;
    while ((result = avcodec_receive_packet(encoder, packet)) >= 0) {
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        result = av_interleaved_write_frame(format, packet); // takes the packet's data
        if (result < 0) {
            writing = true;
            return result;
        }
    }
    writing = false;
    return result == AVERROR(EAGAIN) || result == AVERROR_EOF ? 0 : result;
}

} // namespace ebbcast
