#include "platform/pointer_estimate.hpp"

#include <algorithm>
#include <limits>

#include "platform/displays.hpp"

namespace tovali {

Point PointerEstimate::location() {
    if (!where_) {
        const auto displays = displays_.activeDisplayBounds();
        where_ = displays.empty() ? Point{}
                                  : Point{displays.front().x + displays.front().width / 2,
                                          displays.front().y + displays.front().height / 2};
    }
    return *where_ = onDisplays(*where_);
}

Point PointerEstimate::moveTo(Point target) {
    const Point from = location();
    where_ = onDisplays(target);
    return {where_->x - from.x, where_->y - from.y};
}

Point PointerEstimate::onDisplays(Point p) {
    // The nearest point of the nearest display: displays may have changed under the estimate.
    std::optional<Point> best;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (const Rect& display : displays_.activeDisplayBounds()) {
        if (display.width < 1 || display.height < 1) {
            continue;
        }
        const Point inside{std::clamp(p.x, display.minX(), display.maxX() - 1),
                           std::clamp(p.y, display.minY(), display.maxY() - 1)};
        const double distance =
            (inside.x - p.x) * (inside.x - p.x) + (inside.y - p.y) * (inside.y - p.y);
        if (distance < bestDistance) {
            best = inside;
            bestDistance = distance;
        }
    }
    return best.value_or(p);
}

} // namespace tovali
