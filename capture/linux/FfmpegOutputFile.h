#pragma once

#include "capture/RecorderError.h"
#include "capture/linux/FfmpegHandles.h"

#include <QString>

#include <cstdint>

struct AVCodecContext;
struct AVPacket;
struct AVRational;
struct AVStream;

namespace ebbcast {

// A media file written through an FFmpeg muxer: what the writers share. The muxer context exists from
// construction, so a writer can read its flags and add its stream; start() creates the file and writes the
// header; the encoder's packets go in through writeEncodedPackets(); finish() writes the trailer and closes
// the file. Destroyed without finish(), the file is closed as far as it got.
// Each step that fails throws RecorderError (writeFailed) with the writer's words for the step, the path and
// FFmpeg's reason: "Could not write the movie "/x/screen.mov": No space left on device".
class FfmpegOutputFile {
public:
    // The writer's words for the steps that can fail.
    struct Wording {
        QString start;  // the header could not be written
        QString encode; // the encoder failed
        QString write;  // the file could not be written
        QString finish; // the trailer could not be written
    };

    // Sets up the muxer (file flushed to the disk packet by packet); no file is created yet.
    FfmpegOutputFile(QString path, const char* muxer, Wording wording);

    FfmpegOutputFile(const FfmpegOutputFile&) = delete;
    FfmpegOutputFile& operator=(const FfmpegOutputFile&) = delete;

    AVFormatContext* context() const { return context_.get(); }
    const QString& path() const { return path_; }

    // Adds the stream the encoder's packets go to, in the given time base. Throws RecorderError
    // (writerSetupFailed).
    AVStream* addStream(const AVCodecContext* encoder, AVRational timeBase);
    // Creates the file, writes the header with the muxer's options and pushes it to the disk. A file that was
    // created but could not take its header is removed.
    void start(FfmpegOptions& options);
    // Writes every packet the encoder has ready into the stream; one without a duration (libx264 gives
    // none) gets `durationIfMissing`, in the encoder's time base. The muxer takes a packet's duration as the
    // time to the stream's next packet until that one comes.
    void writeEncodedPackets(AVCodecContext* encoder, AVStream* stream, AVPacket* packet,
                             std::int64_t durationIfMissing = 0);
    // Pushes what the muxer holds (packets waiting to be interleaved, a fragment still open) to the file.
    void flush();
    // Writes the trailer and closes the file; the file is closed even when this throws.
    void finish();
    // Closes the file; nothing more can be written.
    void close();

    // The error of a step that failed with an FFmpeg error code.
    RecorderError failure(const QString& step, int code) const;

private:
    // The file's own write error (a full disk, say), 0 when there was none.
    int writeError() const;

    QString path_;
    Wording wording_;
    FfmpegOutput context_;
};

} // namespace ebbcast
