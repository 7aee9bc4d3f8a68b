// The X11 adapters driving a private Xvfb, watched from a client of the test's own.
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_displays.hpp"
#include "platform/x11/x11_event_poster.hpp"
#include "support/xvfb_server.hpp"

// After gtest: Xlib's None macro breaks its headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace tovali {
namespace {

using enum MouseEventType;

constexpr int width = 1024;
constexpr int height = 768;

class X11AdaptersTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        connection = X11Connection::open(server.displayName());
        ASSERT_TRUE(connection && connection->hasXTest() && connection->hasRandrMonitors());
        watcher.reset(XOpenDisplay(server.displayName().c_str()));
        ASSERT_NE(watcher, nullptr);
        // No window manager and no windows: every press lands on the root.
        XSelectInput(watcher.get(), DefaultRootWindow(watcher.get()),
                     ButtonPressMask | ButtonReleaseMask);
    }

    // Buttons pressed (+n) and released (-n) since the last call.
    std::vector<int> buttons() {
        XSync(connection->display(), False);
        XSync(watcher.get(), False);
        std::vector<int> seen;
        for (XEvent event; XPending(watcher.get()) > 0;) {
            XNextEvent(watcher.get(), &event);
            const int button = static_cast<int>(event.xbutton.button);
            seen.push_back(event.type == ButtonPress ? button : -button);
        }
        return seen;
    }

    test::XvfbServer server{width, height};
    std::unique_ptr<X11Connection> connection;
    std::unique_ptr<Display, int (*)(Display*)> watcher{nullptr, XCloseDisplay};
};

TEST_F(X11AdaptersTest, poster_landsOnTheFlooredPixelWithinTheScreen_andDropsNonFiniteEvents) {
    X11EventPoster poster(*connection, 0.4);
    const double infinity = std::numeric_limits<double>::infinity();
    const struct {
        MouseEventType type;
        Point to;
        Point seen;
    } moves[] = {
        {mouseMoved, {1023.99, 767.99}, {1023, 767}},
        // A sum of smoothed steps a hair short of a whole pixel.
        {mouseMoved, {94.9999999, 10}, {95, 10}},
        // Wrapped to 16 bits this would be (100, 100), well inside the screen.
        {mouseMoved, {65636, -65436}, {width - 1, 0}},
        {mouseMoved, {40, 50}, {40, 50}},
        {mouseMoved, {NAN, 10}, {40, 50}},
        {leftMouseDown, {10, infinity}, {40, 50}},
        {rightMouseDown, {-infinity, 10}, {40, 50}},
    };
    for (const auto& move : moves) {
        poster.postMouseEvent({.type = move.type, .location = move.to});
        EXPECT_EQ(poster.pointerLocation(), std::optional(move.seen))
            << move.to.x << "," << move.to.y;
    }
    EXPECT_EQ(buttons(), std::vector<int>{});
}

TEST_F(X11AdaptersTest, poster_scrollsWholeWheelClicksCarryingRemaindersPerAxis) {
    double now = 0;
    X11EventPoster poster(*connection, 0.4, [&] { return now; });
    const struct {
        double pause;
        std::int32_t vertical, horizontal;
        std::vector<int> clicks;
    } steps[] = {
        {0, 30, -30, {}},
        {0, 30, 0, {4, -4}},
        {0, 0, -30, {7, -7}},
        // A reversal drops what was left of the other direction: 12 px left, then 12 px up.
        {0, 0, 96, {6, -6, 6, -6}},
        {0, -48, 0, {5, -5}},
        {0, -12, 0, {}},
        // A pause ends the gesture, and its 12 px down with it.
        {0.301, -36, 0, {}},
        {0.3, -12, 0, {5, -5}},
    };
    for (const auto& step : steps) {
        now += step.pause;
        poster.postScrollEvent({.vertical = step.vertical, .horizontal = step.horizontal});
        EXPECT_EQ(buttons(), step.clicks) << step.vertical << "," << step.horizontal;
    }

    poster.postScrollEvent({.vertical = std::numeric_limits<std::int32_t>::max(),
                            .horizontal = std::numeric_limits<std::int32_t>::min()});
    const auto events = buttons();
    for (int button : {4, -4, 7, -7})
        EXPECT_EQ(std::count(events.begin(), events.end(), button),
                  X11EventPoster::maxClicksPerEvent)
            << button;
    EXPECT_EQ(events.size(), 4u * X11EventPoster::maxClicksPerEvent);
    poster.postScrollEvent({.vertical = 48});
    EXPECT_EQ(buttons(), (std::vector<int>{4, -4})) << "the excess is dropped";
}

// The pointer is kept within these bounds, so a stale list would trap it or let it go off-screen.
TEST_F(X11AdaptersTest, displays_followEachMonitorChangeElseTheRoot) {
    X11Displays displays(*connection);
    Display* admin = watcher.get(); // changes the monitors, as a settings tool would
    const Window root = DefaultRootWindow(admin);
    std::vector<Rect> bounds;
    // The change reaches the server at once; its notice reaches the adapter a moment later.
    auto changed = [&] {
        XSync(admin, False);
        const std::vector<Rect> before = bounds;
        for (int i = 0; i < 2000 && bounds == before; ++i) {
            const auto now = displays.activeDisplayBounds();
            bounds.assign(now.begin(), now.end());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return bounds;
    };
    const Rect whole{0, 0, width, height}, lower{0, 300, 1024, 468};
    EXPECT_EQ(changed(), std::vector<Rect>{whole});
    XRRMonitorInfo monitor{};
    monitor.name = XInternAtom(admin, "LOWER", False);
    monitor.y = 300;
    monitor.width = 1024;
    monitor.height = 468;
    XRRSetMonitor(admin, root, &monitor);
    EXPECT_EQ(changed(), (std::vector<Rect>{lower, whole}));
    // Switching off the only CRTC leaves the monitor defined here, and then none at all.
    std::unique_ptr<XRRScreenResources, void (*)(XRRScreenResources*)> resources(
        XRRGetScreenResources(admin, root), XRRFreeScreenResources);
    ASSERT_TRUE(resources && resources->ncrtc > 0);
    XRRSetCrtcConfig(admin, resources.get(), resources->crtcs[0], CurrentTime, 0, 0, None,
                     RR_Rotate_0, nullptr, 0);
    EXPECT_EQ(changed(), std::vector<Rect>{lower});
    XRRDeleteMonitor(admin, root, monitor.name);
    EXPECT_EQ(changed(), std::vector<Rect>{whole});
}

} // namespace
} // namespace tovali
