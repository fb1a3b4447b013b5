#include "capture/WavFileWriter.h"

#include "core/base/FileError.h"

#include <QFile>

#include <sndfile.h>

#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast {

WavFileWriter::WavFileWriter(const QString& path, const AudioInputFormat& format)
    : path_(path)
{
    SF_INFO info{};
    // libsndfile needs a positive rate; an input that reports none still gets a readable (if silent) file.
    info.samplerate = format.sampleRate >= 1 ? static_cast<int>(std::lround(format.sampleRate)) : 1;
    info.channels = format.channelCount > 0 ? format.channelCount : 1;
    info.format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
    channelCount_ = info.channels;
    file_.reset(sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info));
    if (!file_)
        throw FileError(FileError::Code::writeFailed, path, QString::fromLocal8Bit(sf_strerror(nullptr)));
    sf_command(file_.get(), SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    sf_command(file_.get(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
}

WavFileWriter::~WavFileWriter() = default;

void WavFileWriter::Close::operator()(sf_private_tag* file) const
{
    sf_close(file);
}

void WavFileWriter::write(const AudioInputBuffer& buffer)
{
    if (buffer.channelCount != channelCount_) {
        throw FileError(
            FileError::Code::writeFailed, path_,
            u"the buffer has %1 channels, the file %2"_s.arg(buffer.channelCount).arg(channelCount_));
    }
    const sf_count_t written = sf_writef_float(file_.get(), buffer.samples, buffer.frameLength);
    if (written != static_cast<sf_count_t>(buffer.frameLength))
        throw FileError(FileError::Code::writeFailed, path_,
                        QString::fromLocal8Bit(sf_strerror(file_.get())));
}

PcmFileWriterFactory WavFileWriter::factory()
{
    return [](const QString& path, const AudioInputFormat& format) -> std::unique_ptr<PcmFileWriter> {
        return std::make_unique<WavFileWriter>(path, format);
    };
}

} // namespace ebbcast
