#pragma once

#include <QString>

struct AVDictionary;
struct AVFormatContext;

namespace ebbcast {

// A media file written through an FFmpeg muxer: created and opened at construction, closed and freed at
// destruction. The writers add their streams to context().
class FfmpegOutputFile {
public:
    // Creates the file; throws FileError.
    FfmpegOutputFile(const QString& path, const char* muxer);
    ~FfmpegOutputFile();

    FfmpegOutputFile(const FfmpegOutputFile&) = delete;
    FfmpegOutputFile& operator=(const FfmpegOutputFile&) = delete;

    AVFormatContext* context() const { return context_; }

    // Writes the header and pushes it to the file; 0 or the error code.
    int writeHeader(AVDictionary** options);
    int writeTrailer();
    // The file's own write error (a full disk, say), 0 when there was none.
    int writeError() const;
    void close();

private:
    AVFormatContext* context_ = nullptr;
};

} // namespace ebbcast
