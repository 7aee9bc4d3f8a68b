#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "input/input_engine.hpp"
#include "support/event_recorder.hpp"
#include "support/manual_main_loop.hpp"

namespace tovali {
namespace {

InputEvent move(int dx, int dy) {
    return MoveInput{static_cast<std::int16_t>(dx), static_cast<std::int16_t>(dy)};
}
InputEvent scroll(int dx, int dy) {
    return ScrollInput{static_cast<std::int16_t>(dx), static_cast<std::int16_t>(dy)};
}
InputEvent left(ButtonAction action) {
    return ButtonInput{MouseButton::left, action};
}
InputEvent right(ButtonAction action) {
    return ButtonInput{MouseButton::right, action};
}

// "L+2" is a left press of click state 2, "R-1" a right release; a glide's run of motion events
// shows once, with the platform's button number.
std::string story(const std::vector<MouseEvent>& events) {
    static const char* const names[] = {"", "L+", "L-", "R+", "R-", "move", "dragL", "dragR"};
    std::string told, last;
    for (const MouseEvent& e : events) {
        const std::string token = names[static_cast<int>(e.type)] +
                                  std::to_string(isMotion(e.type) ? e.button : e.clickState);
        if (!isMotion(e.type) || token != last) {
            told += (told.empty() ? "" : " ") + token;
        }
        last = token;
    }
    return told;
}

struct Rig {
    void glide(const InputEvent& motion) {
        engine.handleInput(motion);
        loop.runFrames(1000);
    }

    test::ManualMainLoop loop;
    test::EventRecorder recorder;
    InputEngine engine{recorder, recorder, loop};
};

class InputEngineTest : public ::testing::Test, public Rig {};

TEST_F(InputEngineTest, frames_releaseTheirShareOfTheMotionALateOneAtMostFiftyMilliseconds) {
    loop.setRefreshRate(10.0);
    recorder.displays = {{0, 0, 1e6, 1000}};
    const auto share = [](double seconds) { return 60000.0 * (1.0 - std::exp(-seconds / 0.014)); };
    for (const double startX : {0.0, 60000.0}) {
        SCOPED_TRACE(startX);
        const std::size_t first = recorder.mouseEvents().size();
        engine.handleInput(move(30000, 0));
        engine.handleInput(move(30000, 0));
        loop.runFrames(2);
        const auto events = recorder.mouseEvents();
        ASSERT_EQ(events.size(), first + 2) << "one event per frame";
        // A first frame, also the first after a pause, takes the frame's duration.
        EXPECT_NEAR(events[first].location.x, startX + share(0.1), 1e-6);
        // The second comes 0.1 s later but releases only a 0.05 s share.
        EXPECT_NEAR(events[first + 1].location.x, startX + share(0.1 + 0.05), 1e-6);
        loop.runFrames(1000);
        EXPECT_EQ(loop.runningDisplayLinkCount(), 0U);
        loop.advance(1.0);
        EXPECT_EQ(loop.activeTimerCount(), 0U) << "an idle engine keeps no timer";
    }
}

TEST(InputEngineClamp, move_offEveryDisplay_stopsOneInFromTheEdgesOfTheDepartureDisplay) {
    const Rect main{0, 0, 1920, 1080};
    const Rect lowerRight{1920, 100, 1280, 1024};
    const struct {
        const char* what;
        std::vector<Rect> displays;
        Point from;
        int dx, dy;
        Point first; // the first frame's location
    } cases[] = {
        {"far corner", {main}, {1900, 1070}, 100, 100, {1919, 1079}},
        {"top edge", {main}, {100, 10}, 0, -50, {100, 0}},
        {"across where they touch", {main, lowerRight}, {1900, 500}, 100, 0, {1969.592, 500}},
        {"above the later display", {main, lowerRight}, {2000, 300}, 0, -900, {2000, 100}},
        {"mirrored, first holds", {main, {0, 0, 1280, 1024}}, {100, 100}, 3000, 0, {1919, 100}},
        {"one point wide", {{0, 0, 1, 1}}, {0, 0}, 50, 50, {0, 0}},
        {"too thin to hold a point", {{-10, 5, 0.5, 100}, main}, {-9.8, 50}, -100, 0, {0, 50}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig;
        rig.recorder.displays = c.displays;
        rig.recorder.pointer = c.from;
        rig.engine.handleInput(move(c.dx, c.dy));
        rig.loop.runFrames(1);
        ASSERT_EQ(rig.recorder.mouseEvents().size(), 1U);
        const MouseEvent first = rig.recorder.mouseEvents()[0];
        EXPECT_NEAR(first.location.x, c.first.x, 1e-3);
        EXPECT_NEAR(first.location.y, c.first.y, 1e-3);
        // The movement actually made, not the movement asked for.
        EXPECT_EQ(first.deltaX, std::llround(c.first.x - c.from.x));
        EXPECT_EQ(first.deltaY, std::llround(c.first.y - c.from.y));
    }
}

TEST(InputEngineReference, move_startsFromItsOwnPositionOnlyWhileThePointerIsWithinTwoPoints) {
    const struct {
        Point pointer; // where the system's pointer is found after the engine moved it to 101, 100
        Point expected;
    } cases[] = {
        {{102.5, 99}, {102, 100}}, {{102.9, 101.9}, {102, 100}}, {{103, 100}, {104, 100}},
        {{101, 102}, {102, 102}},  {{300, 300}, {301, 300}},
    };
    for (const auto& c : cases) {
        Rig rig;
        rig.recorder.pointer = Point{100, 100};
        rig.glide(move(1, 0));
        ASSERT_EQ(rig.engine.position(), (Point{101, 100}));
        rig.recorder.pointer = c.pointer;
        rig.glide(move(1, 0));
        EXPECT_EQ(rig.engine.position(), c.expected) << c.pointer.x << ", " << c.pointer.y;
    }
}

TEST_F(InputEngineTest, buttons_countQuickClicksDragWithTheHeldOneAndReleaseEachOnce) {
    engine.handleInput(left(ButtonAction::up)); // not held
    engine.handleInput(left(ButtonAction::click));
    loop.advance(0.2);
    engine.handleInput(left(ButtonAction::click));
    loop.advance(0.6);
    glide(move(3, 0));
    engine.handleInput(right(ButtonAction::down));
    glide(move(3, 0));
    engine.handleInput(left(ButtonAction::down));
    glide(move(3, 0));
    engine.handleInput(right(ButtonAction::up));
    engine.handleInput(right(ButtonAction::click));
    engine.handleInput(right(ButtonAction::click));
    engine.releaseAll();
    engine.releaseAll();
    // A release carries the click state of the latest press, whichever button it was.
    EXPECT_EQ(story(recorder.mouseEvents()),
              "L+1 L-1 L+2 L-2 move0 R+1 dragR1 L+1 dragL0 R-1 R+1 R-1 R+2 R-2 L-2");
    EXPECT_TRUE(engine.held().empty());
    EXPECT_EQ(loop.activeTimerCount(), 0U);
}

TEST_F(InputEngineTest, press_landsWhereTheEngineMeantThePointerToBeAfterPendingMotion) {
    recorder.pointer = Point{100.4, 100};
    glide(move(1, 0));
    recorder.pointer = Point{101, 100}; // the system keeps whole points
    engine.handleInput(right(ButtonAction::down));
    engine.handleInput(move(5, 3));
    engine.handleInput(scroll(0, 10));
    engine.handleInput(left(ButtonAction::down));
    const auto events = recorder.mouseEvents();
    ASSERT_GE(events.size(), 3U);
    const std::vector<MouseEvent> last(events.end() - 3, events.end());
    EXPECT_EQ(story(last), "R+1 dragR1 L+1") << "pending motion goes first";
    EXPECT_NEAR(last[0].location.x, 101.4, 1e-9);
    EXPECT_NEAR(last[1].location.x, 106.4, 1e-9);
    EXPECT_EQ(last[1].deltaX, 5);
    EXPECT_EQ(last[2].location, last[1].location);
    EXPECT_TRUE(recorder.scrollEvents().empty()) << "scrolling is not flushed";
    loop.runFrames(1000);
    EXPECT_EQ(engine.position(), last[2].location) << "the flushed motion is not made again";
}

TEST_F(InputEngineTest, heldButton_isReleasedAfterMoreThanTwentySecondsOfSilenceOnUptime) {
    engine.handleInput(left(ButtonAction::down));
    for (int i = 0; i < 15; ++i) {
        loop.advance(4.0);
        engine.handleInput(move(1, 0));
    }
    loop.setWallTime(loop.wallTime() + 3600.0);
    loop.advance(20.0);
    EXPECT_TRUE(engine.held().contains(MouseButton::left)) << "exactly 20 s is not more than 20";
    loop.setWallTime(loop.wallTime() - 7200.0);
    loop.advance(4.999);
    EXPECT_TRUE(engine.held().contains(MouseButton::left));
    loop.advance(0.001);
    EXPECT_EQ(recorder.mouseEvents().back().type, MouseEventType::leftMouseUp);
    EXPECT_TRUE(engine.held().empty());
    EXPECT_EQ(loop.activeTimerCount(), 0U);
}

TEST_F(InputEngineTest, scroll_postsWholePixelsCarriesTheRemainderAndEndsOnceAtRest) {
    engine.handleInput(scroll(0, 3));
    std::vector<std::size_t> framesWithScroll;
    for (std::size_t frame = 1; loop.runningDisplayLinkCount() > 0 && frame < 100; ++frame) {
        const std::size_t before = recorder.scrollEvents().size();
        loop.runFrames(1);
        if (recorder.scrollEvents().size() > before) {
            framesWithScroll.push_back(frame);
        }
    }
    EXPECT_EQ(framesWithScroll, (std::vector<std::size_t>{1, 2, 8}));
    glide(move(5, 0));
    EXPECT_EQ(recorder.scrollEndsAfter, (std::vector<std::size_t>{3})) << "once, after the last";
    for (const ScrollEvent& event : recorder.scrollEvents()) {
        EXPECT_EQ(event, (ScrollEvent{.vertical = 1, .horizontal = 0, .continuous = true}));
    }

    Rig fresh;
    fresh.glide(scroll(0, 1));
    EXPECT_TRUE(fresh.recorder.posted.empty()) << "one pixel stays a remainder";
    EXPECT_TRUE(fresh.recorder.scrollEndsAfter.empty()) << "no scrolling to end";
    fresh.glide(scroll(0, 1));
    EXPECT_FALSE(fresh.recorder.scrollEvents().empty());
}

TEST_F(InputEngineTest, input_withoutAScreenOrAKnownPointer_waitsForAButtonAndStartsAtTheOrigin) {
    loop.setHasScreen(false);
    recorder.pointer.reset();
    recorder.pointerFollowsEvents = false;
    engine.handleInput(move(5, 5));
    engine.handleInput(scroll(0, 30));
    loop.advance(1.0);
    EXPECT_TRUE(recorder.posted.empty());
    engine.handleInput(left(ButtonAction::click));
    ASSERT_EQ(story(recorder.mouseEvents()), "move0 L+1 L-1");
    EXPECT_EQ(recorder.mouseEvents()[0].location, (Point{5, 5}));
}

} // namespace
} // namespace tovali
