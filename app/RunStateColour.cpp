#include "app/RunStateColour.h"

namespace ebbcast {

QColor runStateColour(EbbcastRunState state)
{
    switch (state) {
    case EbbcastRunState::recording:
        return {0xd3, 0x2f, 0x2f};
    case EbbcastRunState::wrapUp:
    case EbbcastRunState::paused:
        return {0xf5, 0x9e, 0x0b};
    case EbbcastRunState::uploading:
    case EbbcastRunState::aiProcessing:
        return {0x1e, 0x88, 0xe5};
    case EbbcastRunState::completed:
        return {0x2e, 0x7d, 0x32};
    case EbbcastRunState::error:
        return {0x8e, 0x24, 0x24};
    case EbbcastRunState::idle:
    case EbbcastRunState::armed:
        break;
    }
    return {0x75, 0x75, 0x75};
}

} // namespace ebbcast
