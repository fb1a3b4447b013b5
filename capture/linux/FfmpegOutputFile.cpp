#include "capture/linux/FfmpegOutputFile.h"

#include "capture/linux/FfmpegSupport.h"
#include "core/base/FileError.h"

#include <QFile>

extern "C" {
#include <libavformat/avformat.h>
}

namespace ebbcast {

FfmpegOutputFile::FfmpegOutputFile(const QString& path, const char* muxer)
{
    FfmpegSupport::initialize();
    const QByteArray fileName = QFile::encodeName(path);
    int result = avformat_alloc_output_context2(&context_, nullptr, muxer, fileName.constData());
    if (result < 0)
        throw FileError(FileError::Code::writeFailed, path, FfmpegSupport::errorText(result));
    result = avio_open(&context_->pb, fileName.constData(), AVIO_FLAG_WRITE);
    if (result < 0) {
        avformat_free_context(context_);
        throw FileError(FileError::Code::writeFailed, path, FfmpegSupport::errorText(result));
    }
}

FfmpegOutputFile::~FfmpegOutputFile()
{
    close();
    avformat_free_context(context_);
}

int FfmpegOutputFile::writeHeader(AVDictionary** options)
{
    const int result = avformat_write_header(context_, options);
    if (result >= 0)
        avio_flush(context_->pb);
    return result < 0 ? result : 0;
}

int FfmpegOutputFile::writeTrailer()
{
    return av_write_trailer(context_);
}

int FfmpegOutputFile::writeError() const
{
    return context_->pb != nullptr && context_->pb->error < 0 ? context_->pb->error : 0;
}

void FfmpegOutputFile::close()
{
    if (context_->pb != nullptr)
        avio_closep(&context_->pb);
}

} // namespace ebbcast
