#include "input/pixel_accumulator.hpp"

#include <cmath>
#include <limits>

namespace tovali {

namespace {

// A sum that is not finite, or too large for 32 bits, cannot come from real scrolling; it is
// emitted saturated (or not at all) and leaves no remainder behind to poison later sums.
std::int32_t takeWhole(double sum, double& remainder) {
    constexpr double lowest = std::numeric_limits<std::int32_t>::min();
    constexpr double highest = std::numeric_limits<std::int32_t>::max();
    if (!std::isfinite(sum)) {
        remainder = 0.0;
        return 0;
    }
    const double whole = std::trunc(sum);
    if (whole < lowest || whole > highest) {
        remainder = 0.0;
        return static_cast<std::int32_t>(whole < lowest ? lowest : highest);
    }
    remainder = sum - whole;
    return static_cast<std::int32_t>(whole);
}

} // namespace

WholePixels PixelAccumulator::extractWhole(double dx, double dy) {
    const double sumX = x + dx;
    const double sumY = y + dy;
    return {takeWhole(sumX, x), takeWhole(sumY, y)};
}

} // namespace tovali
