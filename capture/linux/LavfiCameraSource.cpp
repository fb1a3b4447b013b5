#include "capture/linux/LavfiCameraSource.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

LavfiCameraSource::LavfiCameraSource(QString graph)
    : graph_(graph.isEmpty() ? QString::fromLatin1(defaultGraph) : std::move(graph))
{}

std::optional<CameraDevice> LavfiCameraSource::defaultDevice()
{
    return CameraDevice{graph_, u"Test pattern (lavfi)"_s};
}

CameraMode LavfiCameraSource::open(const CameraDevice& device)
{
    return input_.open("lavfi", device.id.isEmpty() ? graph_ : device.id, {});
}

void LavfiCameraSource::start(FrameHandler frames, StoppedHandler stopped)
{
    input_.start(std::move(frames), std::move(stopped));
}

void LavfiCameraSource::stop()
{
    input_.stop();
}

} // namespace ebbcast
