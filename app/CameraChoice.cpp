#include "app/CameraChoice.h"

#include "capture/linux/LavfiCameraSource.h"
#include "capture/linux/V4l2CameraSource.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

std::unique_ptr<CameraSource> CameraChoice::createSource() const
{
    if (kind == Kind::lavfi)
        return std::make_unique<LavfiCameraSource>(argument);
    return std::make_unique<V4l2CameraSource>(argument);
}

CameraChoice CameraChoice::parse(const QString& value)
{
    const QString trimmed = value.trimmed();
    const qsizetype colon = trimmed.indexOf(u':');
    const QString kind = (colon < 0 ? trimmed : trimmed.left(colon)).toLower();
    const QString argument = colon < 0 ? QString() : trimmed.mid(colon + 1).trimmed();

    if (kind.isEmpty() && colon < 0)
        return {};
    if (kind == u"v4l2" && (argument.isEmpty() ? colon < 0 : argument.startsWith(u'/')))
        return {Kind::v4l2, argument, {}};
    if (kind == u"lavfi" && (colon < 0 || !argument.isEmpty()))
        return {Kind::lavfi, argument, {}};
    return {Kind::v4l2,
            {},
            u"note: EBBCAST_CAMERA=\"%1\" is not understood (accepted: v4l2, v4l2:/dev/videoN, lavfi, "
            "lavfi:GRAPH); the first Video4Linux2 camera is used"_s.arg(value)};
}

} // namespace ebbcast
