#pragma once

#include <cstdint>

namespace tovali {

struct WholePixels {
    std::int32_t x = 0;
    std::int32_t y = 0;
    friend bool operator==(const WholePixels&, const WholePixels&) = default;
};

/// Turns fractional distances into whole pixels and carries the fractions to the next call.
struct PixelAccumulator {
    /// The remainders not yet emitted, each strictly between -1 and 1.
    double x = 0.0;
    double y = 0.0;

    WholePixels extractWhole(double dx, double dy);
};

} // namespace tovali
