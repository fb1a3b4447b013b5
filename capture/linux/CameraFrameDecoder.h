#pragma once

#include "capture/CameraFrame.h"
#include "capture/linux/FfmpegHandles.h"

#include <memory>
#include <optional>

struct AVCodecParameters;
struct SwsContext;

namespace ebbcast {

// Turns the packets of a camera stream into frames (without their capture time):
// - raw yuyv422 and yuv420p pictures are handed on as they are, each frame keeping its packet;
// - MJPEG pictures are decoded (libavcodec) and converted to limited-range i420 (libswscale: a camera's JPEG
//   is full-range 4:2:2 or 4:2:0);
// - raw pictures in any other format libswscale reads are converted to i420 the same way.
// Used from one thread at a time.
class CameraFrameDecoder {
public:
    // Throws CameraError when the stream's pictures cannot be read.
    explicit CameraFrameDecoder(const AVCodecParameters& stream);
    ~CameraFrameDecoder();

    CameraFrameDecoder(const CameraFrameDecoder&) = delete;
    CameraFrameDecoder& operator=(const CameraFrameDecoder&) = delete;

    // The picture in the packet; none when the packet holds no complete picture (a damaged JPEG, a short
    // read) or memory ran out.
    std::optional<CameraFrame> decode(const std::shared_ptr<AVPacket>& packet);

private:
    struct SwsFree {
        void operator()(SwsContext* context) const;
    };

    std::optional<CameraFrame> decodeJpeg(const AVPacket& packet);
    std::optional<CameraFrame> convert(const std::uint8_t* const planes[4], const int bytesPerLine[4],
                                       int format, bool fullRange, int width, int height);

    int codec_ = 0;
    int format_ = -1;
    int width_ = 0;
    int height_ = 0;
    FfmpegCodecContext decoder_;
    FfmpegFrame decoded_;
    struct ScalerKey {
        int format = -1;
        bool fullRange = false;
        int width = 0;
        int height = 0;

        bool operator==(const ScalerKey&) const = default;
    };

    std::unique_ptr<SwsContext, SwsFree> scaler_;
    ScalerKey scalerKey_;
};

} // namespace ebbcast
