#include "capture/linux/FfmpegMediaDuration.h"

#include "capture/linux/FfmpegHandles.h"
#include "capture/linux/FfmpegSupport.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

namespace ebbcast {
namespace {

// The bytes of a movie up to the end of its last complete top-level box (ftyp, moov, then moof and mdat
// pairs): where a file cut short in the middle of a box can still be read from.
qint64 completeBoxesLength(QFile& file)
{
    const qint64 size = file.size();
    qint64 offset = 0;
    std::array<uchar, 16> header{};
    while (offset + 8 <= size && file.seek(offset) &&
           file.read(reinterpret_cast<char*>(header.data()), 16) >= 8) {
        std::uint64_t boxSize = qFromBigEndian<quint32>(header.data());
        if (boxSize == 1 && offset + 16 <= size)
            boxSize = qFromBigEndian<quint64>(header.data() + 8);
        else if (boxSize == 0)
            boxSize = static_cast<std::uint64_t>(size - offset); // the last box, to the end of the file
        if (boxSize < 8 || boxSize > static_cast<std::uint64_t>(size - offset))
            break;
        offset += static_cast<qint64>(boxSize);
    }
    return offset;
}

// The first `length` bytes of a file, as an FFmpeg input.
struct FilePrefix {
    QFile file;
    qint64 length = 0;

    static int read(void* opaque, std::uint8_t* buffer, int size)
    {
        auto* prefix = static_cast<FilePrefix*>(opaque);
        const qint64 wanted = std::min<qint64>(size, prefix->length - prefix->file.pos());
        const qint64 got = wanted > 0 ? prefix->file.read(reinterpret_cast<char*>(buffer), wanted) : 0;
        return got > 0 ? static_cast<int>(got) : AVERROR_EOF;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence)
    {
        auto* prefix = static_cast<FilePrefix*>(opaque);
        whence &= ~AVSEEK_FORCE;
        if (whence == AVSEEK_SIZE)
            return prefix->length;
        const qint64 base = whence == SEEK_CUR ? prefix->file.pos() : whence == SEEK_END ? prefix->length : 0;
        const qint64 target = base + offset;
        if ((whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) || target < 0 ||
            !prefix->file.seek(std::min(target, prefix->length)))
            return AVERROR(EINVAL);
        return target;
    }
};

std::optional<double> secondsOfStream(AVFormatContext* format, AVMediaType type)
{
    const int stream = av_find_best_stream(format, type, -1, -1, nullptr, 0);
    if (stream < 0)
        return std::nullopt;
    const FfmpegPacket packet(av_packet_alloc());
    if (!packet)
        return std::nullopt;

    std::optional<std::int64_t> first;
    std::optional<std::int64_t> last;
    // A read error (a fragment cut off in the middle) ends the file like its end does; so does a packet cut
    // off with it.
    while (av_read_frame(format, packet.get()) >= 0) {
        const std::int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        const bool whole = (packet->flags & AV_PKT_FLAG_CORRUPT) == 0;
        if (packet->stream_index == stream && start != AV_NOPTS_VALUE && whole) {
            const std::int64_t end = start + std::max<std::int64_t>(packet->duration, 0);
            first = std::min(first.value_or(start), start);
            last = std::max(last.value_or(end), end);
        }
        av_packet_unref(packet.get());
        if (!whole)
            break;
    }
    if (!first)
        return 0.0;
    return static_cast<double>(*last - *first) * av_q2d(format->streams[stream]->time_base);
}

std::optional<double> streamSeconds(const QString& path, AVMediaType type)
{
    FfmpegSupport::initialize();
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, QFile::encodeName(path).constData(), nullptr, nullptr) >= 0) {
        const FfmpegInput format(opened);
        return secondsOfStream(format.get(), type);
    }

    // FFmpeg reads every fragment's index when it opens a movie and gives up on one cut off in the middle
    // (a disk that filled up, a kill in the middle of a write): the movie is read again without it.
    FilePrefix prefix;
    prefix.file.setFileName(path);
    if (!prefix.file.open(QIODevice::ReadOnly))
        return std::nullopt;
    prefix.length = completeBoxesLength(prefix.file);
    if (prefix.length <= 0 || prefix.length == prefix.file.size() || !prefix.file.seek(0))
        return std::nullopt;
    constexpr int bufferSize = 32768;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(bufferSize));
    if (buffer == nullptr)
        return std::nullopt;
    const FfmpegCustomIo io(
        avio_alloc_context(buffer, bufferSize, 0, &prefix, &FilePrefix::read, nullptr, &FilePrefix::seek));
    if (!io) {
        av_free(buffer);
        return std::nullopt;
    }
    opened = avformat_alloc_context();
    if (opened == nullptr)
        return std::nullopt;
    opened->pb = io.get();
    opened->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&opened, nullptr, nullptr, nullptr) < 0)
        return std::nullopt; // the context is freed, the input left to its owner
    const FfmpegInput format(opened);
    return secondsOfStream(format.get(), type);
}

} // namespace

std::optional<double> FfmpegMediaDuration::audioSeconds(const QString& path)
{
    return streamSeconds(path, AVMEDIA_TYPE_AUDIO);
}

std::optional<double> FfmpegMediaDuration::videoSeconds(const QString& path)
{
    return streamSeconds(path, AVMEDIA_TYPE_VIDEO);
}

} // namespace ebbcast
