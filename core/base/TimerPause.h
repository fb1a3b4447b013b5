#pragma once

#include <QCoro/QCoroTask>

#include <chrono>

namespace ebbcast {

// Resumes the awaiting coroutine after `duration`, from a precise single-shot timer on its thread's event
// loop. The default pause of every retrying component; tests inject one that records instead.
QCoro::Task<void> pauseOnTimer(std::chrono::milliseconds duration);

} // namespace ebbcast
