#include "core/json/ShortestNumber.h"

#include <array>
#include <charconv>

namespace ebbcast {

QByteArray ShortestNumber::format(double value)
{
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return QByteArray(buffer.data(), result.ptr - buffer.data());
}

double ShortestNumber::widenShortest(float value)
{
    std::array<char, 32> buffer{};
    const auto printed = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    double widened = 0;
    std::from_chars(buffer.data(), printed.ptr, widened);
    return widened;
}

} // namespace ebbcast
