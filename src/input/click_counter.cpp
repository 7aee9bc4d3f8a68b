#include "input/click_counter.hpp"

#include <cmath>

namespace tovali {

std::int64_t ClickCounter::registerPress(double time, Point location, MouseButton button) {
    std::int64_t count = 1;
    if (last && last->button == button && time - last->time <= interval &&
        std::abs(location.x - last->x) <= slop && std::abs(location.y - last->y) <= slop) {
        count = last->count + 1;
    }
    last = Press{time, location.x, location.y, button, count};
    return count;
}

} // namespace tovali
