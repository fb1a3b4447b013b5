#pragma once

#include <memory>

struct pa_context;
struct pa_operation;
struct pa_stream;
struct pa_threaded_mainloop;

namespace ebbcast {

// Stops a threaded main loop's thread and frees the loop. Not from the loop's own thread, nor with its lock
// held.
struct PulseMainloopFree {
    void operator()(pa_threaded_mainloop* mainloop) const;
};

// Disconnects a context from its server and drops the reference to it. With the loop locked.
struct PulseContextRelease {
    void operator()(pa_context* context) const;
};

// Disconnects a stream and drops the reference to it. With the loop locked.
struct PulseStreamRelease {
    void operator()(pa_stream* stream) const;
};

// Drops the reference to an operation; the operation itself goes on unless cancelled. With the loop locked.
struct PulseOperationRelease {
    void operator()(pa_operation* operation) const;
};

using PulseMainloop = std::unique_ptr<pa_threaded_mainloop, PulseMainloopFree>;
using PulseContext = std::unique_ptr<pa_context, PulseContextRelease>;
using PulseStream = std::unique_ptr<pa_stream, PulseStreamRelease>;
using PulseOperation = std::unique_ptr<pa_operation, PulseOperationRelease>;

} // namespace ebbcast
