#pragma once

#include <optional>

#include "common/geometry.hpp"

namespace tovali {

class Displays;

/// Where the pointer is believed to be, for routes that post relative motion and cannot ask the
/// desktop: the last place an event put it, kept on the displays.
class PointerEstimate {
public:
    explicit PointerEstimate(Displays& displays) : displays_(displays) {}

    /// Before any event, the centre of the first display.
    Point location();
    /// Takes `target` (kept on the displays) as the new estimate and answers the relative
    /// movement that gets there from the previous one.
    Point moveTo(Point target);
    /// Forgets the estimate, for when the route lost the pointer and the desktop may have moved
    /// it since.
    void forget() { where_.reset(); }

private:
    Point onDisplays(Point p);

    Displays& displays_;
    std::optional<Point> where_;
};

} // namespace tovali
