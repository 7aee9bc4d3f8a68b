#pragma once

#include <cstdint>
#include <optional>

#include "common/geometry.hpp"
#include "common/input_event.hpp"

namespace tovali {

/// Decides whether a press continues a double or triple click.
struct ClickCounter {
    struct Press {
        double time = 0.0;
        double x = 0.0;
        double y = 0.0;
        MouseButton button = MouseButton::left;
        std::int64_t count = 0;
    };

    /// The longest time in seconds between two presses of one multi-click, inclusive.
    double interval = 0.0;
    /// The largest distance in points on each axis between two such presses, inclusive.
    double slop = 0.0;
    std::optional<Press> last;

    /// The click count of a press at `time` (seconds of uptime); remembers the press.
    std::int64_t registerPress(double time, Point location, MouseButton button);
};

} // namespace tovali
