#pragma once

#include <QString>

#include <memory>

namespace ebbcast {

class CameraSource;

// The camera a wrap-up note records from, as EBBCAST_CAMERA names it:
//   v4l2 (also unset or empty)  the first Video4Linux2 camera
//   v4l2:/dev/videoN            that camera
//   lavfi                       FFmpeg's moving test pattern (for tests and demos)
//   lavfi:GRAPH                 that FFmpeg filter graph
// Anything else is the first Video4Linux2 camera, with a note that names the accepted forms.
struct CameraChoice {
    enum class Kind { v4l2, lavfi };

    Kind kind = Kind::v4l2;
    QString argument; // the device path or the filter graph; empty: the source's own default
    QString note;     // for standard error when the value was not understood; empty otherwise

    std::unique_ptr<CameraSource> createSource() const;

    bool operator==(const CameraChoice&) const = default;

    static CameraChoice parse(const QString& value);
};

} // namespace ebbcast
