#include "capture/linux/V4l2ModeChoice.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Rates a hair under 24 (a camera's 23.976) count as 24.
constexpr double rateTolerance = 0.05;

int nearestInRange(int target, int minimum, int maximum, int step)
{
    if (maximum <= minimum)
        return minimum;
    step = std::max(step, 1);
    const int clamped = std::clamp(target, minimum, maximum);
    int steps = (clamped - minimum + step / 2) / step;
    int value = minimum + steps * step;
    while (value > maximum && steps > 0)
        value = minimum + --steps * step;
    return value;
}

struct Candidate {
    int formatRank = 0;
    int width = 0;
    int height = 0;
    double rate = 0;

    int sizeDistance() const
    {
        return std::abs(width - V4l2ModeChoice::targetWidth) +
               std::abs(height - V4l2ModeChoice::targetHeight);
    }
    long long area() const { return static_cast<long long>(width) * height; }
    double rateDistance() const { return std::abs(rate - V4l2ModeChoice::preferredFramesPerSecond); }
    bool isFast() const { return rate + rateTolerance >= V4l2ModeChoice::minimumFramesPerSecond; }
};

// Keys compared in order, smaller is better.
auto fastKey(const Candidate& c)
{
    return std::make_tuple(c.sizeDistance(), -c.area(), c.formatRank, c.rateDistance(), -c.rate);
}

auto slowKey(const Candidate& c)
{
    return std::make_tuple(-c.rate, c.sizeDistance(), -c.area(), c.formatRank, 0.0, 0.0);
}

} // namespace

V4l2ModeOffer V4l2ModeOffer::discrete(QString pixelFormat, int width, int height, std::vector<double> rates)
{
    return {std::move(pixelFormat), width, width, 1, height, height, 1, std::move(rates)};
}

const std::vector<QString>& V4l2ModeChoice::knownPixelFormats()
{
    static const std::vector<QString> formats = {u"mjpeg"_s, u"yuyv422"_s, u"yuv420p"_s, u"nv12"_s};
    return formats;
}

std::pair<int, int> V4l2ModeChoice::nearestSize(const V4l2ModeOffer& offer)
{
    return {nearestInRange(targetWidth, offer.minWidth, offer.maxWidth, offer.widthStep),
            nearestInRange(targetHeight, offer.minHeight, offer.maxHeight, offer.heightStep)};
}

std::optional<CameraMode> V4l2ModeChoice::choose(const std::vector<V4l2ModeOffer>& offers)
{
    const auto& formats = knownPixelFormats();
    std::vector<Candidate> candidates;
    for (const V4l2ModeOffer& offer : offers) {
        const auto known = std::find(formats.begin(), formats.end(), offer.pixelFormat);
        if (known == formats.end())
            continue;
        const auto [width, height] = nearestSize(offer);
        if (width <= 0 || height <= 0)
            continue;
        const int rank = static_cast<int>(known - formats.begin());
        if (offer.framesPerSecond.empty())
            candidates.push_back({rank, width, height, 0});
        for (const double rate : offer.framesPerSecond)
            candidates.push_back({rank, width, height, std::max(rate, 0.0)});
    }
    if (candidates.empty())
        return std::nullopt;

    const bool anyFast =
        std::any_of(candidates.begin(), candidates.end(), [](const auto& c) { return c.isFast(); });
    const Candidate* best = nullptr;
    for (const Candidate& candidate : candidates) {
        if (anyFast && !candidate.isFast())
            continue;
        const bool better = best == nullptr || (anyFast ? fastKey(candidate) < fastKey(*best)
                                                        : slowKey(candidate) < slowKey(*best));
        if (better)
            best = &candidate;
    }
    return CameraMode{best->width, best->height, best->rate,
                      formats[static_cast<std::size_t>(best->formatRank)]};
}

} // namespace ebbcast
