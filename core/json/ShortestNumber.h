#pragma once

#include <QByteArray>

namespace ebbcast {

// The shortest decimal text that reads back as exactly the same double ("0.025", "300", "1e+21").
// Only finite values have such a text; callers check.
class ShortestNumber {
public:
    static QByteArray format(double value);
    // A float printed with the digits a float needs, as a double: 0.1f becomes 0.1, not 0.10000000149011612.
    static double widenShortest(float value);
};

} // namespace ebbcast
