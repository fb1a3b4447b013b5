#include "capture/linux/FfmpegSupport.h"

#include <mutex>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace ebbcast {

QString FfmpegSupport::errorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

void FfmpegSupport::initialize()
{
    static std::once_flag done;
    std::call_once(done, [] {
        av_log_set_level(AV_LOG_FATAL);
        avdevice_register_all();
    });
}

} // namespace ebbcast
