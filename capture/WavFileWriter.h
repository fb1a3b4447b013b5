#pragma once

#include "capture/PcmFileWriter.h"

#include <memory>

struct sf_private_tag;

namespace ebbcast {

// 32-bit float WAV through libsndfile. The header is rewritten after every buffer, so a file cut short by a
// crash still reads up to its last buffer. A file that grows past 4 GiB becomes RF64 instead of breaking;
// one that stays smaller is a plain WAV.
class WavFileWriter : public PcmFileWriter {
public:
    WavFileWriter(const QString& path, const AudioInputFormat& format);
    ~WavFileWriter() override;

    void write(const AudioInputBuffer& buffer) override;
    const QString& path() const override { return path_; }

    static PcmFileWriterFactory factory();

private:
    struct Close {
        void operator()(sf_private_tag* file) const;
    };

    QString path_;
    int channelCount_ = 0;
    std::unique_ptr<sf_private_tag, Close> file_;
};

} // namespace ebbcast
