#include "capture/linux/PulseAudioHandles.h"

#include <pulse/pulseaudio.h>

namespace ebbcast {

void PulseMainloopFree::operator()(pa_threaded_mainloop* mainloop) const
{
    pa_threaded_mainloop_stop(mainloop);
    pa_threaded_mainloop_free(mainloop);
}

void PulseContextRelease::operator()(pa_context* context) const
{
    pa_context_disconnect(context);
    pa_context_unref(context);
}

void PulseStreamRelease::operator()(pa_stream* stream) const
{
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

void PulseOperationRelease::operator()(pa_operation* operation) const
{
    pa_operation_unref(operation);
}

} // namespace ebbcast
