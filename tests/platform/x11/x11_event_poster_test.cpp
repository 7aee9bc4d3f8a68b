// The adapters and the engine driving one real X server, watched from clients of the test's own.
#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
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
        poster.emplace(*connection, 0.4, [this] { return now; });
        probe = test::openClient(server->displayName());
        ASSERT_NE(probe, nullptr);
    }

    void post(MouseEventType type, double x, double y) {
        poster->postMouseEvent(MouseEvent{.type = type, .location = {x, y}});
    }

    // Read from another client, once the server has handled what the poster sent.
    PointerState pointer() {
        XSync(connection->display(), False);
        return test::queryPointer(probe.get());
    }

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
    double now = 0.0;
};

TEST_F(X11EventPosterTest, postMouseEvent_anyLocation_landsOnTheFlooredPixelWithinTheScreen) {
    const struct {
        double x, y;
        int expectedX, expectedY;
    } moves[] = {
        {511.6, 383.5, 511, 383},
        {1023.99, 767.99, 1023, 767},
        // Wrapped to 16 bits this would be (100, 100), well inside the screen.
        {65636.0, -65436.0, screenWidth - 1, 0},
    };
    for (const auto& move : moves) {
        post(MouseEventType::mouseMoved, move.x, move.y);
        PointerState state = pointer();
        EXPECT_EQ(state.x, move.expectedX) << move.x;
        EXPECT_EQ(state.y, move.expectedY) << move.y;
        EXPECT_EQ(poster->pointerLocation(), (Point{static_cast<double>(move.expectedX),
                                                    static_cast<double>(move.expectedY)}));
    }

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    post(MouseEventType::mouseMoved, 40, 50);
    post(MouseEventType::mouseMoved, nan, 10);
    post(MouseEventType::leftMouseDown, 10, infinity);
    post(MouseEventType::rightMouseDown, -infinity, 10);
    PointerState state = pointer();
    EXPECT_EQ(state.x, 40);
    EXPECT_EQ(state.y, 50);
    EXPECT_EQ(state.mask & (Button1Mask | Button3Mask), 0u) << "non-finite events are dropped";
}

TEST_F(X11EventPosterTest, postScrollEvent_pixels_becomeWheelClicksCarryingRemaindersPerAxis) {
    ButtonObserver observer(server->displayName(), screenWidth, screenHeight);
    ASSERT_TRUE(observer.ready());
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
        EXPECT_EQ(scroll(observer, step.vertical, step.horizontal), step.clicks)
            << step.vertical << "," << step.horizontal;
    }

    auto events = scroll(observer, std::numeric_limits<std::int32_t>::max(),
                         std::numeric_limits<std::int32_t>::min());
    const auto max = X11EventPoster::maxClicksPerEvent;
    for (int button : {4, -4, 7, -7})
        EXPECT_EQ(std::count(events.begin(), events.end(), button), max) << button;
    EXPECT_EQ(events.size(), 4u * static_cast<std::size_t>(max));
    EXPECT_EQ(scroll(observer, 48, 0), (std::vector<int>{4, -4})) << "the excess is dropped";
}

} // namespace
} // namespace tovali
