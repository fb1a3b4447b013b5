#pragma once

#include <functional>
#include <optional>

namespace ebbcast {

// Decides whether loud sound may start a recording now. The sound monitor asks with every loud buffer (about
// fifty a second), and a start takes up to several seconds: one automatic start runs at a time, and the
// others are dropped without a word. A start that fails (no device, a full disk) would fail again on the next
// loud buffer and alert each time, so after a failure automatic starts pause for `pauseSeconds`, until a
// start succeeds (one asked for by the user included) or a setting of automatic recording changes. Main
// thread.
class AutomaticStartGate {
public:
    static constexpr double defaultPauseSeconds = 5 * 60;

    // `monotonic` reads seconds on a clock that never steps (monotonicSeconds()).
    explicit AutomaticStartGate(std::function<double()> monotonic, double pauseSeconds = defaultPauseSeconds);

    // Whether an automatic start may begin now; if so, it counts as under way until succeeded() or failed().
    bool tryBegin();
    // A recording started (automatically or not): the pause, if any, ends.
    void succeeded();
    // The automatic start under way failed: automatic starts pause. Whether this failure began the pause (the
    // one time worth a log line).
    bool failed();
    // A setting of automatic recording changed: whatever failed may work now.
    void reset();

    bool isPaused() const;

private:
    std::function<double()> monotonic_;
    double pauseSeconds_;
    bool underWay_ = false;
    std::optional<double> pausedUntil_;
};

} // namespace ebbcast
