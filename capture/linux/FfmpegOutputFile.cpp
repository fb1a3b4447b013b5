#include "capture/linux/FfmpegOutputFile.h"

#include "capture/linux/FfmpegSupport.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

using namespace Qt::StringLiterals;

namespace ebbcast {

FfmpegOutputFile::FfmpegOutputFile(QString path, const char* muxer, Wording wording)
    : path_(std::move(path))
    , wording_(std::move(wording))
{
    FfmpegSupport::initialize();
    AVFormatContext* context = nullptr;
    const int result =
        avformat_alloc_output_context2(&context, nullptr, muxer, QFile::encodeName(path_).constData());
    context_.reset(context);
    if (result < 0)
        throw failure(u"Could not write the file"_s, result);
    // Without this a completed fragment waits in the output buffer (for tens of seconds on a still screen).
    context_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
}

RecorderError FfmpegOutputFile::failure(const QString& step, int code) const
{
    return RecorderError::writeFailed(step + u" \""_s + path_ + u"\": "_s + FfmpegSupport::errorText(code));
}

AVStream* FfmpegOutputFile::addStream(const AVCodecContext* encoder, AVRational timeBase)
{
    AVStream* stream = avformat_new_stream(context_.get(), nullptr);
    if (stream == nullptr)
        throw RecorderError::writerSetupFailed(u"Could not add a stream to \""_s + path_ + u"\": "_s +
                                               FfmpegSupport::errorText(AVERROR(ENOMEM)));
    stream->time_base = timeBase;
    const int result = avcodec_parameters_from_context(stream->codecpar, encoder);
    if (result < 0)
        throw RecorderError::writerSetupFailed(u"Could not add a stream to \""_s + path_ + u"\": "_s +
                                               FfmpegSupport::errorText(result));
    return stream;
}

void FfmpegOutputFile::start(FfmpegOptions& options)
{
    const int opened = avio_open(&context_->pb, QFile::encodeName(path_).constData(), AVIO_FLAG_WRITE);
    if (opened < 0)
        throw failure(u"Could not write the file"_s, opened);
    const int result = avformat_write_header(context_.get(), options.get());
    if (result < 0) {
        close();
        QFile::remove(path_);
        throw failure(wording_.start, result);
    }
    avio_flush(context_->pb);
}

void FfmpegOutputFile::writeEncodedPackets(AVCodecContext* encoder, AVStream* stream, AVPacket* packet,
                                           std::int64_t durationIfMissing)
{
    int result = 0;
    while ((result = avcodec_receive_packet(encoder, packet)) >= 0) {
        if (packet->duration == 0)
            packet->duration = durationIfMissing;
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        const int written = av_interleaved_write_frame(context_.get(), packet); // takes the packet's data
        if (written < 0)
            throw failure(wording_.write, written);
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF)
        throw failure(wording_.encode, result);
}

void FfmpegOutputFile::flush()
{
    // Packets waiting to be interleaved with another stream's first, then the fragment they went into.
    int flushed = av_interleaved_write_frame(context_.get(), nullptr);
    if (flushed >= 0)
        flushed = av_write_frame(context_.get(), nullptr);
    const int error = flushed < 0 ? flushed : writeError();
    if (error < 0)
        throw failure(wording_.write, error);
}

void FfmpegOutputFile::finish()
{
    const int trailer = av_write_trailer(context_.get());
    const int error = writeError();
    close();
    if (trailer < 0)
        throw failure(wording_.finish, trailer);
    if (error < 0)
        throw failure(wording_.write, error);
}

void FfmpegOutputFile::close()
{
    if (context_->pb != nullptr)
        avio_closep(&context_->pb);
}

int FfmpegOutputFile::writeError() const
{
    return context_->pb != nullptr && context_->pb->error < 0 ? context_->pb->error : 0;
}

} // namespace ebbcast
