#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "input/input_engine.hpp"
#include "support/event_recorder.hpp"
#include "support/manual_main_loop.hpp"

namespace tovali {
namespace {

using test::EventRecorder;
using test::ManualMainLoop;

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

struct Rig {
    void runUntilIdle() { loop.runFrames(1000); }

    ManualMainLoop loop;
    EventRecorder recorder;
    InputEngine engine{recorder, recorder, loop};
};

class InputEngineTest : public ::testing::Test, public Rig {};

TEST_F(InputEngineTest, move_tenPoints_glidesOverFiveFramesThenPausesAndStartsAfreshLater) {
    recorder.pointer = Point{100, 500};
    for (const double startX : {100.0, 110.0}) {
        const std::size_t first = recorder.mouseEvents().size();
        engine.handleInput(move(10, 0));
        EXPECT_EQ(recorder.mouseEvents().size(), first) << "motion waits for a frame";
        loop.runFrames(5);
        const auto events = recorder.mouseEvents();
        ASSERT_EQ(events.size(), first + 5);
        const double xs[] = {6.9592, 9.0754, 9.7188, 9.9145, 10.0};
        const std::int64_t deltas[] = {7, 2, 1, 0, 0};
        for (std::size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(events[first + i].type, MouseEventType::mouseMoved);
            EXPECT_EQ(events[first + i].location.y, 500.0);
            EXPECT_EQ(events[first + i].deltaX, deltas[i]) << "frame " << i;
            EXPECT_NEAR(events[first + i].location.x, startX + xs[i], 1e-4);
        }
        EXPECT_EQ(loop.runningDisplayLinkCount(), 0U);
        // A pause forgets the last frame, so the next glide's first frame is not a late one.
        loop.advance(1.0);
        EXPECT_EQ(loop.activeTimerCount(), 0U) << "an idle engine keeps no timer";
    }
    EXPECT_EQ(loop.displayLinksMade(), 1U) << "the link is made once and reused";
}

TEST_F(InputEngineTest, frame_postsOneEventPerFrameAndCapsALateFrame) {
    loop.setRefreshRate(10.0);
    recorder.displays = {{0, 0, 100000, 1000}};
    engine.handleInput(move(30000, 0));
    engine.handleInput(move(30000, 0));
    engine.handleInput(scroll(0, 40));
    engine.handleInput(scroll(0, 40));
    loop.runFrames(2);
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 2U);
    EXPECT_EQ(recorder.scrollEvents().size(), 2U);
    // Frames 0.1 s apart: the second releases only a 0.05 s share of what is left.
    EXPECT_NEAR(events[1].location.x, 60000.0 * (1.0 - std::exp(-0.1 / 0.014 - 0.05 / 0.014)),
                1e-6);
}

TEST_F(InputEngineTest, move_withButtonsHeld_dragsAndLeftWins) {
    const auto lastMove = [&](InputEvent motion) {
        engine.handleInput(motion);
        runUntilIdle();
        return recorder.mouseEvents().back();
    };
    EXPECT_EQ(lastMove(move(3, 0)).type, MouseEventType::mouseMoved);
    engine.handleInput(right(ButtonAction::down));
    const MouseEvent rightDrag = lastMove(move(3, 0));
    EXPECT_EQ(rightDrag.type, MouseEventType::rightMouseDragged);
    EXPECT_EQ(rightDrag.button, 1);
    engine.handleInput(left(ButtonAction::down));
    const MouseEvent bothHeld = lastMove(move(3, 0));
    EXPECT_EQ(bothHeld.type, MouseEventType::leftMouseDragged);
    EXPECT_EQ(bothHeld.button, 0);
    engine.handleInput(right(ButtonAction::up));
    EXPECT_EQ(lastMove(move(3, 0)).type, MouseEventType::leftMouseDragged);
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
        rig.engine.handleInput(move(1, 0));
        rig.runUntilIdle();
        ASSERT_EQ(rig.engine.position(), (Point{101, 100}));
        rig.recorder.pointer = c.pointer;
        rig.engine.handleInput(move(1, 0));
        rig.runUntilIdle();
        EXPECT_EQ(rig.engine.position(), c.expected) << c.pointer.x << ", " << c.pointer.y;
    }
}

TEST_F(InputEngineTest, click_countsQuickClicksAndReleasesCarryTheLatestPressCount) {
    engine.handleInput(left(ButtonAction::up));
    EXPECT_TRUE(recorder.posted.empty()) << "a release of a button not held";
    EXPECT_EQ(loop.activeTimerCount(), 0U);

    engine.handleInput(left(ButtonAction::click));
    loop.advance(0.2);
    engine.handleInput(left(ButtonAction::click));
    loop.advance(0.6);
    engine.handleInput(left(ButtonAction::down));
    engine.handleInput(right(ButtonAction::click));
    engine.handleInput(right(ButtonAction::click));
    engine.handleInput(left(ButtonAction::up));
    const auto events = recorder.mouseEvents();
    const std::vector<std::pair<MouseEventType, std::int64_t>> expected{
        {MouseEventType::leftMouseDown, 1}, {MouseEventType::leftMouseUp, 1},
        {MouseEventType::leftMouseDown, 2}, {MouseEventType::leftMouseUp, 2},
        {MouseEventType::leftMouseDown, 1}, {MouseEventType::rightMouseDown, 1},
        {MouseEventType::rightMouseUp, 1},  {MouseEventType::rightMouseDown, 2},
        {MouseEventType::rightMouseUp, 2},  {MouseEventType::leftMouseUp, 2},
    };
    ASSERT_EQ(events.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(events[i].type, expected[i].first) << i;
        EXPECT_EQ(events[i].clickState, expected[i].second) << i;
    }
}

TEST_F(InputEngineTest, press_landsWhereTheEngineMeantThePointerToBeAfterPendingMotion) {
    recorder.pointer = Point{100.4, 100};
    engine.handleInput(move(1, 0));
    runUntilIdle();
    recorder.pointer = Point{101, 100}; // the system keeps whole points
    engine.handleInput(right(ButtonAction::down));
    engine.handleInput(move(5, 0));
    engine.handleInput(scroll(0, 10));
    engine.handleInput(left(ButtonAction::down));
    const auto events = recorder.mouseEvents();
    ASSERT_GE(events.size(), 3U);
    const MouseEvent* last = &events.back();
    EXPECT_EQ(last[-2].type, MouseEventType::rightMouseDown);
    EXPECT_NEAR(last[-2].location.x, 101.4, 1e-9);
    EXPECT_EQ(last[-1].type, MouseEventType::rightMouseDragged) << "pending motion goes first";
    EXPECT_NEAR(last[-1].location.x, 106.4, 1e-9);
    EXPECT_EQ(last[-1].deltaX, 5);
    EXPECT_EQ(last[0].type, MouseEventType::leftMouseDown);
    EXPECT_NEAR(last[0].location.x, 106.4, 1e-9);
    EXPECT_TRUE(recorder.scrollEvents().empty()) << "scrolling is not flushed";
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

TEST_F(InputEngineTest, releaseAll_releasesEachHeldButtonOnceAndStopsTheTimer) {
    engine.handleInput(left(ButtonAction::down));
    engine.handleInput(right(ButtonAction::down));
    engine.releaseAll();
    engine.releaseAll();
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 4U);
    EXPECT_EQ(events[2].type, MouseEventType::leftMouseUp);
    EXPECT_EQ(events[3].type, MouseEventType::rightMouseUp);
    EXPECT_TRUE(engine.held().empty());
    EXPECT_EQ(loop.activeTimerCount(), 0U);
}

TEST_F(InputEngineTest, scroll_postsWholePixelsAndCarriesTheRemainder) {
    engine.handleInput(scroll(0, 3));
    std::vector<std::size_t> framesWithScroll;
    for (std::size_t frame = 1; loop.runningDisplayLinkCount() > 0; ++frame) {
        const std::size_t before = recorder.scrollEvents().size();
        loop.runFrames(1);
        if (recorder.scrollEvents().size() > before) {
            framesWithScroll.push_back(frame);
        }
        ASSERT_LT(frame, 100U);
    }
    EXPECT_EQ(framesWithScroll, (std::vector<std::size_t>{1, 2, 8}));
    EXPECT_EQ(recorder.scrollEndsAfter, (std::vector<std::size_t>{3})) << "once, after the last";
    for (const ScrollEvent& event : recorder.scrollEvents()) {
        EXPECT_EQ(event, (ScrollEvent{.vertical = 1, .horizontal = 0, .continuous = true}));
    }

    Rig fresh;
    fresh.engine.handleInput(scroll(0, 1));
    fresh.runUntilIdle();
    EXPECT_TRUE(fresh.recorder.scrollEvents().empty()) << "one pixel stays a remainder";
    EXPECT_TRUE(fresh.recorder.scrollEndsAfter.empty()) << "no scrolling to end";
    fresh.engine.handleInput(scroll(0, 1));
    fresh.runUntilIdle();
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
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 3U);
    EXPECT_EQ(events[0].location, (Point{5, 5}));
    EXPECT_TRUE(recorder.scrollEvents().empty());
}

TEST_F(InputEngineTest, anyInput_neverPostsALocationOutsideEveryDisplay) {
    recorder.displays = {{0, 0, 1920, 1080}, {1920, -300, 1080, 1920}, {-10, 5, 0.5, 100}};
    std::mt19937 random(7);
    std::uniform_int_distribution<int> any16(-32768, 32767);
    std::uniform_int_distribution<int> kind(0, 9);
    for (int i = 0; i < 3000; ++i) {
        switch (kind(random)) {
        case 0:
            engine.handleInput(ButtonInput{MouseButton(random() % 2), ButtonAction(random() % 3)});
            break;
        case 1:
            recorder.pointer = Point{double(any16(random)), double(any16(random))};
            break;
        case 2:
            engine.handleInput(scroll(any16(random), any16(random)));
            break;
        default:
            engine.handleInput(move(any16(random), any16(random)));
        }
        loop.runFrames(int(random() % 3));
    }
    runUntilIdle();
    ASSERT_GT(recorder.mouseEvents().size(), 1000U);
    for (const MouseEvent& event : recorder.mouseEvents()) {
        ASSERT_TRUE(std::isfinite(event.location.x) && std::isfinite(event.location.y));
        // Presses and releases happen where the system's pointer is, wherever a test put it.
        if (event.type != MouseEventType::mouseMoved &&
            event.type != MouseEventType::leftMouseDragged &&
            event.type != MouseEventType::rightMouseDragged) {
            continue;
        }
        const bool inside = recorder.displays[0].contains(event.location) ||
                            recorder.displays[1].contains(event.location);
        ASSERT_TRUE(inside) << event.location.x << ", " << event.location.y;
    }
}

} // namespace
} // namespace tovali
