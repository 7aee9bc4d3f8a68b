#include "platform/x11/x11_event_poster.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/x11/x11_connection.hpp"

namespace tovali {
namespace {

constexpr unsigned leftButton = 1;
constexpr unsigned rightButton = 3;
constexpr unsigned wheelUp = 4;
constexpr unsigned wheelDown = 5;
constexpr unsigned wheelLeft = 6;
constexpr unsigned wheelRight = 7;

struct RootPosition {
    int x = 0;
    int y = 0;
};

// Floor keeps a point inside the monitor that holds it; the tolerance keeps a sum of smoothed
// steps that ends a hair below a whole point (94.99999999 for 95) from landing a pixel short.
// The clamp matters because the request carries 16-bit coordinates: a larger value would wrap
// around to the far side of the desktop.
std::optional<RootPosition> rootPosition(Point location) {
    if (!std::isfinite(location.x) || !std::isfinite(location.y))
        return std::nullopt;
    constexpr double tolerance = 1e-6;
    auto axis = [](double value) {
        return static_cast<int>(std::clamp(std::floor(value + tolerance), -32768.0, 32767.0));
    };
    return RootPosition{axis(location.x), axis(location.y)};
}

} // namespace

X11EventPoster::X11EventPoster(X11Connection& connection, double doubleClickInterval,
                               std::function<double()> now)
    : connection_(connection), doubleClickInterval_(doubleClickInterval), now_(std::move(now)) {
    if (!now_) {
        now_ = [] {
            return std::chrono::duration<double>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
    }
}

std::optional<Point> X11EventPoster::pointerLocation() {
    Display* display = connection_.display();
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned mask = 0;
    if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &windowX,
                       &windowY, &mask))
        return std::nullopt;
    return Point{static_cast<double>(rootX), static_cast<double>(rootY)};
}

// Click state and the deltas have no X counterpart: X clients count clicks and measure motion
// themselves, so only the type and the location are posted.
void X11EventPoster::postMouseEvent(const MouseEvent& event) {
    if (!connection_.hasXTest())
        return;
    auto position = rootPosition(event.location);
    auto change = buttonChange(event.type);
    if (!position || (!change && !isMotion(event.type)))
        return;

    Display* display = connection_.display();
    // Screen -1 places the pointer absolutely on its current screen, without acceleration.
    XTestFakeMotionEvent(display, -1, position->x, position->y, CurrentTime);
    if (change)
        XTestFakeButtonEvent(display, change->left ? leftButton : rightButton, change->press,
                             CurrentTime);
    XFlush(display);
}

// The continuous flag has no X meaning: synthetic scrolling is whole wheel clicks either way.
void X11EventPoster::postScrollEvent(const ScrollEvent& event) {
    if (!connection_.hasXTest())
        return;
    const double now = now_();
    if (lastScroll_ && now - *lastScroll_ > remainderLifetime) {
        verticalRemainder_ = 0;
        horizontalRemainder_ = 0;
    }
    lastScroll_ = now;
    bool posted = postWheelClicks(verticalRemainder_, event.vertical, wheelUp, wheelDown);
    posted |= postWheelClicks(horizontalRemainder_, event.horizontal, wheelLeft, wheelRight);
    if (posted)
        XFlush(connection_.display());
}

bool X11EventPoster::postWheelClicks(std::int32_t& remainder, std::int32_t pixels,
                                     unsigned positiveButton, unsigned negativeButton) {
    // What was left of the other direction would swallow the start of the new one.
    if ((remainder > 0 && pixels < 0) || (remainder < 0 && pixels > 0))
        remainder = 0;
    std::int64_t total = std::int64_t{remainder} + pixels;
    std::int64_t clicks = total / pixelsPerWheelClick;
    remainder = static_cast<std::int32_t>(total - clicks * pixelsPerWheelClick);
    // Clicks over the cap are dropped, not carried, or a flood would only be postponed.
    clicks = std::clamp<std::int64_t>(clicks, -maxClicksPerEvent, maxClicksPerEvent);
    if (clicks == 0)
        return false;

    Display* display = connection_.display();
    unsigned button = clicks > 0 ? positiveButton : negativeButton;
    for (std::int64_t i = 0; i < std::abs(clicks); ++i) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
    }
    return true;
}

} // namespace tovali
