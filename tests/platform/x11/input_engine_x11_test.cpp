// The engine driving a real X server: what it decides is what the server's pointer does.
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "input/input_engine.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_displays.hpp"
#include "platform/x11/x11_event_poster.hpp"
#include "support/manual_main_loop.hpp"
#include "support/xvfb_server.hpp"
#include "x11_test_client.hpp"

namespace tovali {
namespace {

constexpr int screenWidth = 1024;
constexpr int screenHeight = 768;

class InputEngineX11Test : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        connection = X11Connection::open(server.displayName());
        ASSERT_NE(connection, nullptr);
        probe = test::openClient(server.displayName());
        ASSERT_NE(probe, nullptr);
        poster.emplace(*connection, 0.4);
        displays.emplace(*connection);
        engine = std::make_unique<InputEngine>(*poster, *displays, loop);
    }

    // Where the server's pointer is, asked from another client once the server has taken all
    // that the engine posted.
    test::PointerState pointer() {
        XSync(connection->display(), False);
        return test::queryPointer(probe.get());
    }

    void warp(int x, int y) {
        XWarpPointer(probe.get(), 0, DefaultRootWindow(probe.get()), 0, 0, 0, 0, x, y);
        XSync(probe.get(), False);
    }

    // Lets the engine finish the motion, then waits until the server has taken every request.
    void glide(InputEvent event) {
        engine->handleInput(event);
        loop.runFrames(1000);
        XSync(connection->display(), False);
    }

    test::XvfbServer server{screenWidth, screenHeight};
    test::ManualMainLoop loop;
    std::unique_ptr<X11Connection> connection;
    test::XClient probe;
    std::optional<X11EventPoster> poster;
    std::optional<X11Displays> displays;
    std::unique_ptr<InputEngine> engine;
};

TEST_F(InputEngineX11Test, move_landsWhereTheEngineSaysAndStopsAtTheScreenEdge) {
    warp(100, 100);
    glide(MoveInput{10, -5});
    ASSERT_TRUE(engine->position());
    EXPECT_NEAR(engine->position()->x, 110, 1e-9);
    EXPECT_NEAR(engine->position()->y, 95, 1e-9);
    test::PointerState p = pointer();
    EXPECT_EQ(p.x, 110);
    EXPECT_EQ(p.y, 95);

    glide(MoveInput{3000, 3000});
    p = pointer();
    EXPECT_EQ(p.x, screenWidth - 1);
    EXPECT_EQ(p.y, screenHeight - 1);
}

TEST_F(InputEngineX11Test, heldButton_showsInTheButtonMaskUntilTheWatchFallsSilent) {
    warp(300, 300);
    engine->handleInput(ButtonInput{MouseButton::left, ButtonAction::down});
    glide(MoveInput{20, 0});
    test::PointerState p = pointer();
    EXPECT_NE(p.mask & Button1Mask, 0U);
    EXPECT_EQ(p.x, 320) << "a drag moves the pointer";

    loop.advance(25.0);
    EXPECT_EQ(pointer().mask & Button1Mask, 0U);

    engine->handleInput(ButtonInput{MouseButton::right, ButtonAction::down});
    EXPECT_NE(pointer().mask & Button3Mask, 0U);
    engine->releaseAll();
    EXPECT_EQ(pointer().mask & Button3Mask, 0U);
}

TEST_F(InputEngineX11Test, scroll_becomesWheelClicksInTheDirectionOfItsSign) {
    test::ButtonObserver observer(server.displayName(), screenWidth, screenHeight);
    ASSERT_TRUE(observer.ready());
    warp(500, 400);
    const std::pair<ScrollInput, int> cases[] = {
        {{0, 120}, 4}, {{0, -120}, 5}, {{120, 0}, 6}, {{-120, 0}, 7}};
    for (const auto& [scroll, button] : cases) {
        // Fresh remainders, so that 120 pixels make two clicks of 48 whatever the rounding.
        poster.emplace(*connection, 0.4);
        engine = std::make_unique<InputEngine>(*poster, *displays, loop);
        glide(scroll);
        EXPECT_EQ(observer.takeEvents(), (std::vector<int>{button, -button, button, -button}));
    }
}

} // namespace
} // namespace tovali
