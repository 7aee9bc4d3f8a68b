// The adapters and the engine driving one real X server, watched from clients of the test's own.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "input/input_engine.hpp"
#include "platform/x11/x11_accessibility.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_displays.hpp"
#include "platform/x11/x11_event_poster.hpp"
#include "support/manual_main_loop.hpp"
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
        auto state = test::queryPointer(probe.get());
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

TEST_F(X11EventPosterTest, accessibility_onXvfb_isTrustedAndHasNothingToAsk) {
    X11Accessibility accessibility(*connection);
    EXPECT_TRUE(accessibility.isProcessTrusted());
    accessibility.promptForPermission();
    EXPECT_EQ(connection->errorCount(), 0u);
}

// What the engine decides is what the server's pointer does, within the server's displays.
class InputEngineX11Test : public X11EventPosterTest {
protected:
    void SetUp() override {
        X11EventPosterTest::SetUp();
        displays.emplace(*connection);
        engine = std::make_unique<InputEngine>(*poster, *displays, loop);
    }

    void warp(int x, int y) {
        XWarpPointer(probe.get(), 0, DefaultRootWindow(probe.get()), 0, 0, 0, 0, x, y);
        XSync(probe.get(), False);
    }

    // Lets the engine finish the motion, then waits until the server has taken every request.
    void glide(InputEvent event) {
        engine->handleInput(event);
        loop.runFrames(1000);
    }

    test::ManualMainLoop loop;
    std::optional<X11Displays> displays;
    std::unique_ptr<InputEngine> engine;
};

TEST_F(InputEngineX11Test, move_landsWhereTheEngineSaysAndStopsAtTheScreenEdge) {
    warp(100, 100);
    glide(MoveInput{10, -5});
    ASSERT_TRUE(engine->position());
    EXPECT_NEAR(engine->position()->x, 110, 1e-9);
    EXPECT_NEAR(engine->position()->y, 95, 1e-9);
    PointerState p = pointer();
    EXPECT_EQ(p.x, 110);
    EXPECT_EQ(p.y, 95);

    glide(MoveInput{3000, 3000});
    p = pointer();
    EXPECT_EQ(p.x, screenWidth - 1);
    EXPECT_EQ(p.y, screenHeight - 1);
}

} // namespace
} // namespace tovali
