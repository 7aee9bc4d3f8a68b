// The wlroots virtual pointer against a real headless sway, seen by a window of our own there.
#include <cstdlib>
#include <functional>
#include <linux/input-event-codes.h>
#include <memory>
#include <wayland-client-protocol.h>

#include <gtest/gtest.h>

#include "platform/wlroots/wlroots_connection.hpp"
#include "platform/wlroots/wlroots_event_poster.hpp"
#include "support/bluez_stand_in.hpp"
#include "support/event_recorder.hpp"
#include "support/headless_sway.hpp"
#include "support/wayland_observer.hpp"

namespace tovali::test {
namespace {

using Event = WaylandObserver::Event;
using enum MouseEventType;

class WlrootsEventPosterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sway.error(), "");
        ::setenv("WAYLAND_DISPLAY", sway.socket().c_str(), 1);
        displays.displays = {{0, 0, HeadlessSway::width, HeadlessSway::height}};
        connection = WlrootsConnection::open();
        ASSERT_TRUE(connection);
        poster = std::make_unique<WlrootsEventPoster>(*connection, displays, 0.5);
        ASSERT_NO_FATAL_FAILURE(observe());
    }

    // Moves to a corner first: the compositor's pointer starts where it likes.
    void observe() {
        observer = std::make_unique<WaylandObserver>(sway.socket());
        ASSERT_EQ(observer->error(), "");
        post(mouseMoved, 0, 0);
        ASSERT_TRUE(until([&] { return observer->x == 0 && observer->y == 0; }));
    }
    /// Runs this side's loop and reads the window's events until `done`.
    bool until(const std::function<bool()>& done, int timeoutMs = 3000) {
        return waitUntil(
            [&] {
                if (observer)
                    observer->read(0);
                return done();
            },
            timeoutMs);
    }
    void post(MouseEventType type, double x = 0, double y = 0) {
        poster->postMouseEvent({.type = type, .location = {x, y}});
    }
    // The buttons seen once a move that follows them has arrived.
    std::vector<Event> buttonsBefore(double markerX) {
        post(mouseMoved, markerX, observer->y);
        EXPECT_TRUE(until([&] { return observer->x == markerX; }));
        return observer->events({"button"});
    }

    HeadlessSway sway;
    EventRecorder displays;
    std::unique_ptr<WlrootsConnection> connection;
    std::unique_ptr<WlrootsEventPoster> poster;
    std::unique_ptr<WaylandObserver> observer;
};

TEST_F(WlrootsEventPosterTest, eventsArriveOneToOneClampedBalancedAndScrollComesToRest) {
    // Past the edge the estimate stops where the compositor does, so the way back is exact.
    const struct {
        Point to;
        Point seen;
    } moves[] = {
        {{10.5, 20.25}, {10.5, 20.25}}, {{640, 360}, {640, 360}},     {{5000, 100}, {1279, 100}},
        {{1200, 100}, {1200, 100}},     {{-50, 700.75}, {0, 700.75}},
    };
    for (const auto& move : moves) {
        post(leftMouseDragged, move.to.x, move.to.y);
        EXPECT_TRUE(until([&] { return observer->x == move.seen.x && observer->y == move.seen.y; }))
            << move.to.x << "," << move.to.y << " went to " << observer->x << "," << observer->y;
    }
    // Steps finer than the protocol's 1/256 px add up instead of being lost to rounding.
    for (int step = 1; step <= 30; ++step)
        post(mouseMoved, step / 3.0, 700.75);
    EXPECT_TRUE(until([&] { return observer->x == 10; })) << observer->x;

    observer->clear();
    for (auto type : {leftMouseDown, leftMouseDown, leftMouseUp, leftMouseUp, rightMouseUp,
                      rightMouseDown, rightMouseUp})
        post(type, 10, 700.75);
    EXPECT_EQ(buttonsBefore(3), (std::vector<Event>{{"button", BTN_LEFT, 1},
                                                    {"button", BTN_LEFT, 0},
                                                    {"button", BTN_RIGHT, 1},
                                                    {"button", BTN_RIGHT, 0}}));

    observer->clear();
    poster->postScrollEvent({.vertical = 30, .horizontal = -12, .continuous = true});
    poster->postScrollEvent({.vertical = 2, .continuous = true});
    ASSERT_TRUE(until([&] { return observer->events({"axis_stop"}).size() == 2; }));
    EXPECT_EQ(observer->events({"axis", "axis_stop"}), (std::vector<Event>{{"axis", 0, -30},
                                                                           {"axis", 1, 12},
                                                                           {"axis", 0, -2},
                                                                           {"axis_stop", 0, 0},
                                                                           {"axis_stop", 1, 0}}));
    for (const Event& source : observer->events({"axis_source"}))
        EXPECT_EQ(source.a, WL_POINTER_AXIS_SOURCE_FINGER);
}

TEST_F(WlrootsEventPosterTest, compositorGoneAndBack_neverHoldsAButtonAndComesBack) {
    WlrootsAccessibility accessibility(*connection);
    post(leftMouseDown);
    ASSERT_TRUE(observer->waitFor("button", 1));
    observer.reset();

    sway.stop();
    ASSERT_TRUE(until([&] { return !accessibility.isProcessTrusted(); }));
    post(leftMouseDragged, 40, 40); // nowhere to go: dropped
    poster->postScrollEvent({.vertical = 5, .continuous = true});

    ASSERT_EQ(sway.start(), "");
    ASSERT_TRUE(until([&] { return accessibility.isProcessTrusted(); },
                      3 * WlrootsConnection::retryMilliseconds));
    ASSERT_NO_FATAL_FAILURE(observe());
    // The new pointer never held the old press: its release is not passed on.
    for (auto type : {leftMouseUp, leftMouseDown, leftMouseUp})
        post(type);
    EXPECT_EQ(buttonsBefore(3),
              (std::vector<Event>{{"button", BTN_LEFT, 1}, {"button", BTN_LEFT, 0}}));
}

} // namespace
} // namespace tovali::test
