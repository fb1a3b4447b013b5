#include "app/AutomaticStartGate.h"

#include <utility>

namespace ebbcast {

AutomaticStartGate::AutomaticStartGate(std::function<double()> monotonic, double pauseSeconds)
    : monotonic_(std::move(monotonic))
    , pauseSeconds_(pauseSeconds)
{}

bool AutomaticStartGate::tryBegin()
{
    if (underWay_ || isPaused())
        return false;
    pausedUntil_.reset();
    underWay_ = true;
    return true;
}

void AutomaticStartGate::succeeded()
{
    underWay_ = false;
    pausedUntil_.reset();
}

bool AutomaticStartGate::failed()
{
    underWay_ = false;
    const bool began = !isPaused();
    if (began)
        pausedUntil_ = monotonic_() + pauseSeconds_;
    return began;
}

void AutomaticStartGate::reset()
{
    pausedUntil_.reset();
}

bool AutomaticStartGate::isPaused() const
{
    return pausedUntil_ && monotonic_() < *pausedUntil_;
}

} // namespace ebbcast
