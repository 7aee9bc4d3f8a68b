#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_event_poster.hpp"
#include "support/xvfb_server.hpp"
#include "x11_test_client.hpp"

namespace tovali {
namespace {

using test::ButtonObserver;
using test::PointerState;

constexpr int screenWidth = 1024;
constexpr int screenHeight = 768;

class X11EventPosterTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<test::XvfbServer>(screenWidth, screenHeight);
    }
    static void TearDownTestSuite() { server.reset(); }

    void SetUp() override {
        ASSERT_TRUE(server->running()) << server->error();
        connection = X11Connection::open(server->displayName());
        ASSERT_NE(connection, nullptr) << "cannot connect to " << server->displayName();
        ASSERT_TRUE(connection->hasXTest());
        poster.emplace(*connection, 0.4);
        probe = test::openClient(server->displayName());
        ASSERT_NE(probe, nullptr);
    }

    void post(MouseEventType type, double x, double y) {
        poster->postMouseEvent(MouseEvent{.type = type, .location = {x, y}});
    }

    // Read from another client, once the server has handled what the poster sent.
    PointerState pointer() {
        XSync(connection->display(), False);
        return probePointer();
    }

    PointerState probePointer() { return test::queryPointer(probe.get()); }

    std::vector<int> scroll(ButtonObserver& observer, std::int32_t vertical,
                            std::int32_t horizontal) {
        poster->postScrollEvent(ScrollEvent{.vertical = vertical, .horizontal = horizontal});
        XSync(connection->display(), False);
        return observer.takeEvents();
    }

    static inline std::unique_ptr<test::XvfbServer> server;
    std::unique_ptr<X11Connection> connection;
    std::optional<X11EventPoster> poster;
    test::XClient probe;
};

TEST_F(X11EventPosterTest, postMouseEvent_moveToFractionalPoint_landsOnFlooredPixel) {
    post(MouseEventType::mouseMoved, 511.6, 383.5);
    auto state = pointer();
    EXPECT_EQ(state.x, 511);
    EXPECT_EQ(state.y, 383);

    post(MouseEventType::mouseMoved, 1023.99, 767.99);
    state = pointer();
    EXPECT_EQ(state.x, 1023);
    EXPECT_EQ(state.y, 767);
}

TEST_F(X11EventPosterTest, postMouseEvent_beyond16BitRange_clampsInsteadOfWrapping) {
    // Wrapped to 16 bits these would be (100, 100), well inside the screen.
    post(MouseEventType::mouseMoved, 65636.0, -65436.0);
    auto state = pointer();
    EXPECT_EQ(state.x, screenWidth - 1);
    EXPECT_EQ(state.y, 0);
}

TEST_F(X11EventPosterTest, postMouseEvent_nonFiniteLocation_isDropped) {
    post(MouseEventType::mouseMoved, 40, 50);
    double nan = std::numeric_limits<double>::quiet_NaN();
    double infinity = std::numeric_limits<double>::infinity();
    post(MouseEventType::mouseMoved, nan, 10);
    post(MouseEventType::leftMouseDown, 10, infinity);
    post(MouseEventType::rightMouseDown, -infinity, 10);
    auto state = pointer();
    EXPECT_EQ(state.x, 40);
    EXPECT_EQ(state.y, 50);
    EXPECT_EQ(state.mask & (Button1Mask | Button3Mask), 0u);
}

TEST_F(X11EventPosterTest, pointerLocation_afterMove_isTheFlooredPixel) {
    post(MouseEventType::mouseMoved, 123.9, 45.1);
    EXPECT_EQ(poster->pointerLocation(), (Point{123, 45}));
    EXPECT_EQ(poster->doubleClickInterval(), 0.4);
}

// Nothing else is sent on the poster's connection here: each event must have been flushed.
TEST_F(X11EventPosterTest, postEvents_withoutFurtherCalls_reachTheServer) {
    ButtonObserver observer(server->displayName(), screenWidth, screenHeight);
    ASSERT_TRUE(observer.ready());
    auto eventually = [](auto condition) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return condition();
    };

    post(MouseEventType::mouseMoved, 222, 111);
    EXPECT_TRUE(eventually([&] {
        auto state = probePointer();
        return state.x == 222 && state.y == 111;
    }));

    poster->postScrollEvent(ScrollEvent{.vertical = 48});
    std::vector<int> events;
    EXPECT_TRUE(eventually([&] {
        auto more = observer.takeEvents();
        events.insert(events.end(), more.begin(), more.end());
        return events.size() >= 2;
    }));
    EXPECT_EQ(events, (std::vector<int>{4, -4}));
}

TEST_F(X11EventPosterTest, postScrollEvent_partialClicks_carryRemainderPerAxis) {
    ButtonObserver observer(server->displayName(), screenWidth, screenHeight);
    ASSERT_TRUE(observer.ready());
    EXPECT_EQ(scroll(observer, 30, -30), std::vector<int>{});
    EXPECT_EQ(scroll(observer, 30, 0), (std::vector<int>{4, -4}));
    EXPECT_EQ(scroll(observer, 0, -30), (std::vector<int>{7, -7}));
    // 12 px up are left over: going back down needs a whole click more.
    EXPECT_EQ(scroll(observer, -48, 0), std::vector<int>{});
    EXPECT_EQ(scroll(observer, -12, 0), (std::vector<int>{5, -5}));
}

TEST_F(X11EventPosterTest, postScrollEvent_hugeDistance_capsClicksAndDropsExcess) {
    ButtonObserver observer(server->displayName(), screenWidth, screenHeight);
    ASSERT_TRUE(observer.ready());
    auto events = scroll(observer, std::numeric_limits<std::int32_t>::max(),
                         std::numeric_limits<std::int32_t>::min());
    auto max = X11EventPoster::maxClicksPerEvent;
    EXPECT_EQ(std::count(events.begin(), events.end(), 4), max);
    EXPECT_EQ(std::count(events.begin(), events.end(), -4), max);
    EXPECT_EQ(std::count(events.begin(), events.end(), 7), max);
    EXPECT_EQ(std::count(events.begin(), events.end(), -7), max);
    EXPECT_EQ(events.size(), 4u * static_cast<std::size_t>(max));

    EXPECT_EQ(scroll(observer, 48, 0), (std::vector<int>{4, -4}));
}

} // namespace
} // namespace tovali
