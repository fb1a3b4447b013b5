#pragma once

#include <QtGlobal>

namespace ebbcast::test {

// How many times slower than usual the programs under test may run: EBBCAST_TIMING_SCALE, which
// scripts/test.sh sets for its sanitizer builds (3 for --sanitize, 5 for --tsan); 1 otherwise, and never
// less. Only bounds that measure how fast our code keeps up (frame rates, loss at a kill) are scaled by it,
// never what the results must contain.
inline double timingScale()
{
    const double scale = qEnvironmentVariable("EBBCAST_TIMING_SCALE").toDouble();
    return scale > 1.0 ? scale : 1.0;
}

} // namespace ebbcast::test
