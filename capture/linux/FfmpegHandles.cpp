#include "capture/linux/FfmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace ebbcast {

void FfmpegFree::operator()(AVCodecContext* encoder) const
{
    avcodec_free_context(&encoder);
}

void FfmpegFree::operator()(AVFrame* frame) const
{
    av_frame_free(&frame);
}

void FfmpegFree::operator()(AVPacket* packet) const
{
    av_packet_free(&packet);
}

void FfmpegFree::operator()(SwrContext* resampler) const
{
    swr_free(&resampler);
}

void FfmpegFree::operator()(AVAudioFifo* fifo) const
{
    if (fifo != nullptr)
        av_audio_fifo_free(fifo);
}

void FfmpegFree::operator()(AVIOContext* io) const
{
    if (io == nullptr)
        return;
    av_freep(&io->buffer);
    avio_context_free(&io);
}

void FfmpegCloseInput::operator()(AVFormatContext* input) const
{
    avformat_close_input(&input);
}

void FfmpegCloseOutput::operator()(AVFormatContext* output) const
{
    if (output == nullptr)
        return;
    if (output->pb != nullptr)
        avio_closep(&output->pb);
    avformat_free_context(output);
}

FfmpegOptions::~FfmpegOptions()
{
    av_dict_free(&dictionary_);
}

FfmpegOptions& FfmpegOptions::set(const char* key, const char* value)
{
    av_dict_set(&dictionary_, key, value, 0);
    return *this;
}

FfmpegOptions& FfmpegOptions::set(const char* key, std::int64_t value)
{
    av_dict_set_int(&dictionary_, key, value, 0);
    return *this;
}

} // namespace ebbcast
