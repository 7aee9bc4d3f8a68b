// The wlroots virtual pointer against a real headless sway, seen by a window of our own there.
#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <linux/input-event-codes.h>
#include <memory>
#include <wayland-client-protocol.h>

#include <gtest/gtest.h>

#include "platform/wlroots/wlroots_connection.hpp"
#include "platform/wlroots/wlroots_event_poster.hpp"
#include "support/event_recorder.hpp"
#include "support/headless_sway.hpp"
#include "support/wayland_observer.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;
using Event = WaylandObserver::Event;

class WlrootsEventPosterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sway.error(), "");
        ::setenv("WAYLAND_DISPLAY", sway.socket().c_str(), 1);
        displays.displays = {{0, 0, HeadlessSway::width, HeadlessSway::height}};
        connection = WlrootsConnection::open();
        ASSERT_TRUE(connection);
        poster = std::make_unique<WlrootsEventPoster>(*connection, displays, 0.5);
        observe();
    }

    void observe() {
        observer = std::make_unique<WaylandObserver>(sway.socket());
        ASSERT_EQ(observer->error(), "");
    }
    /// Runs this side's loop and reads the observer's events until `done`.
    bool until(const std::function<bool()>& done, int timeoutMs = 3000) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            QCoreApplication::processEvents();
            if (observer)
                observer->read(5);
            else
                QThread::msleep(5);
        }
        return true;
    }
    void post(MouseEventType type, double x = 0, double y = 0) {
        poster->postMouseEvent({.type = type, .location = {x, y}});
    }
    /// Moves to a corner first: the compositor's pointer starts where it likes.
    bool moveToOrigin() {
        post(MouseEventType::mouseMoved, 0, 0);
        return until([&] { return observer->x == 0 && observer->y == 0; });
    }

    HeadlessSway sway;
    EventRecorder displays;
    std::unique_ptr<WlrootsConnection> connection;
    std::unique_ptr<WlrootsEventPoster> poster;
    std::unique_ptr<WaylandObserver> observer;
};

TEST_F(WlrootsEventPosterTest, eventsArriveOneToOneClampedBalancedAndScrollComesToRest) {
    ASSERT_TRUE(moveToOrigin());
    // Past the edge the estimate stops where the compositor does, so the way back is exact.
    const struct {
        Point to;
        Point seen;
    } moves[] = {
        {{10.5, 20.25}, {10.5, 20.25}}, {{640, 360}, {640, 360}},     {{5000, 100}, {1279, 100}},
        {{1200, 100}, {1200, 100}},     {{-50, 700.75}, {0, 700.75}},
    };
    for (const auto& move : moves) {
        post(MouseEventType::leftMouseDragged, move.to.x, move.to.y);
        EXPECT_TRUE(until([&] { return observer->x == move.seen.x && observer->y == move.seen.y; }))
            << move.to.x << "," << move.to.y << " went to " << observer->x << "," << observer->y;
    }

    observer->clear();
    for (auto type :
         {MouseEventType::leftMouseDown, MouseEventType::leftMouseDown, MouseEventType::leftMouseUp,
          MouseEventType::leftMouseUp, MouseEventType::rightMouseUp, MouseEventType::rightMouseDown,
          MouseEventType::rightMouseUp})
        post(type, 0, 700.75);
    post(MouseEventType::mouseMoved, 3, 700.75); // a marker: everything before it has arrived
    ASSERT_TRUE(until([&] { return observer->x == 3; }));
    EXPECT_EQ(observer->events({"button"}), (std::vector<Event>{{"button", BTN_LEFT, 1},
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
    ASSERT_TRUE(moveToOrigin());
    post(MouseEventType::leftMouseDown);
    ASSERT_TRUE(observer->waitFor("button", 1));
    observer.reset();

    sway.stop();
    ASSERT_TRUE(until([&] { return !accessibility.isProcessTrusted(); }, 3000));
    post(MouseEventType::leftMouseDragged, 40, 40); // nowhere to go: dropped
    poster->postScrollEvent({.vertical = 5, .continuous = true});

    ASSERT_EQ(sway.start(), "");
    const int retry = WlrootsConnection::retryMilliseconds;
    ASSERT_TRUE(until([&] { return accessibility.isProcessTrusted(); }, 3 * retry));
    observe();
    ASSERT_TRUE(moveToOrigin());
    // The new pointer never held the old press: its release is not passed on.
    for (auto type :
         {MouseEventType::leftMouseUp, MouseEventType::leftMouseDown, MouseEventType::leftMouseUp})
        post(type);
    post(MouseEventType::mouseMoved, 3, 0);
    ASSERT_TRUE(until([&] { return observer->x == 3; }));
    EXPECT_EQ(observer->events({"button"}),
              (std::vector<Event>{{"button", BTN_LEFT, 1}, {"button", BTN_LEFT, 0}}));
}

} // namespace
