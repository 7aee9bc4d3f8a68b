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

std::vector<MouseEventType> typesOf(const std::vector<MouseEvent>& events) {
    std::vector<MouseEventType> types;
    for (const MouseEvent& event : events) {
        types.push_back(event.type);
    }
    return types;
}

class InputEngineTest : public ::testing::Test {
protected:
    void runUntilIdle() { loop.runFrames(1000); }

    ManualMainLoop loop;
    EventRecorder recorder;
    InputEngine engine{recorder, recorder, loop};
};

TEST_F(InputEngineTest, move_tenPoints_glidesOverFiveFramesThenPauses) {
    recorder.pointer = Point{100, 500};
    engine.handleInput(move(10, 0));
    EXPECT_TRUE(recorder.posted.empty()) << "motion waits for a frame";

    loop.runFrames(5);
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 5U);
    const double xs[] = {106.9592, 109.0754, 109.7188, 109.9145};
    const std::int64_t deltas[] = {7, 2, 1, 0, 0};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(events[i].type, MouseEventType::mouseMoved);
        EXPECT_EQ(events[i].location.y, 500.0);
        EXPECT_EQ(events[i].deltaX, deltas[i]) << "frame " << i;
        if (i < 4) {
            EXPECT_NEAR(events[i].location.x, xs[i], 1e-4);
        }
    }
    EXPECT_EQ(events[4].location.x, 110.0);
    EXPECT_EQ(loop.runningDisplayLinkCount(), 0U);

    loop.advance(1.0);
    EXPECT_EQ(recorder.posted.size(), 5U);
    EXPECT_EQ(loop.activeTimerCount(), 0U) << "an idle engine keeps no timer";
}

TEST_F(InputEngineTest, frame_postsOneEventPerFrameHoweverManyInputsArrived) {
    engine.handleInput(move(3, 0));
    engine.handleInput(move(4, 0));
    engine.handleInput(scroll(0, 40));
    engine.handleInput(scroll(0, 40));
    loop.runFrames(1);
    EXPECT_EQ(recorder.mouseEvents().size(), 1U);
    EXPECT_EQ(recorder.scrollEvents().size(), 1U);
    EXPECT_EQ(loop.displayLinksMade(), 1U) << "the link is made once and reused";
    runUntilIdle();
    engine.handleInput(move(1, 0));
    runUntilIdle();
    EXPECT_EQ(loop.displayLinksMade(), 1U);
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

TEST_F(InputEngineTest, move_pastTheOnlyDisplaysEdge_stopsOneInAndReportsTheMovementMade) {
    recorder.pointer = Point{1900, 1070};
    engine.handleInput(move(100, 100));
    runUntilIdle();
    const auto events = recorder.mouseEvents();
    ASSERT_FALSE(events.empty());
    std::int64_t movedX = 0;
    std::int64_t movedY = 0;
    for (const MouseEvent& event : events) {
        EXPECT_TRUE(recorder.displays[0].contains(event.location));
        movedX += event.deltaX;
        movedY += event.deltaY;
    }
    // The first frame overshoots and stops one point in; the rest creeps within the last point.
    EXPECT_EQ(events[0].location, (Point{1919, 1079}));
    EXPECT_EQ(events[0].deltaX, 19);
    EXPECT_EQ(events[0].deltaY, 9);
    EXPECT_EQ(movedX, 20);
    EXPECT_EQ(movedY, 10);
}

TEST_F(InputEngineTest, move_acrossTwoDisplays_crossesWhereTheyTouchAndStopsAtTheDepartureEdge) {
    // The right display is lower than the left one.
    recorder.displays = {{0, 0, 1920, 1080}, {1920, 100, 1280, 1024}};

    recorder.pointer = Point{1900, 500};
    engine.handleInput(move(100, 0));
    runUntilIdle();
    EXPECT_NEAR(recorder.pointer->x, 2000, 1e-9);
    EXPECT_EQ(recorder.pointer->y, 500);

    // Above the right display's top edge is no display at all: the right one keeps the pointer,
    // though the left one comes first.
    engine.handleInput(move(0, -450));
    runUntilIdle();
    EXPECT_NEAR(recorder.pointer->x, 2000, 1e-9);
    EXPECT_EQ(recorder.pointer->y, 100);

    recorder.pointer = Point{100, 10};
    engine.handleInput(move(0, -50));
    runUntilIdle();
    EXPECT_EQ(*recorder.pointer, (Point{100, 0}));
}

TEST_F(InputEngineTest, move_afterTheRealMouseMoved_startsFromTheRealPointer) {
    recorder.pointer = Point{100, 100};
    engine.handleInput(move(1, 0));
    runUntilIdle();
    ASSERT_EQ(engine.position(), (Point{101, 100}));

    // Within two points the engine keeps its own fractional position.
    recorder.pointer = Point{102.5, 99};
    engine.handleInput(move(1, 0));
    runUntilIdle();
    EXPECT_EQ(engine.position(), (Point{102, 100}));

    recorder.pointer = Point{300, 300};
    engine.handleInput(move(1, 0));
    runUntilIdle();
    EXPECT_EQ(engine.position(), (Point{301, 300}));
}

TEST_F(InputEngineTest, click_twiceQuickly_postsADoubleClickOnPressesAndReleases) {
    engine.handleInput(left(ButtonAction::click));
    loop.advance(0.2);
    engine.handleInput(left(ButtonAction::click));
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 4U);
    EXPECT_EQ(typesOf(events),
              (std::vector{MouseEventType::leftMouseDown, MouseEventType::leftMouseUp,
                           MouseEventType::leftMouseDown, MouseEventType::leftMouseUp}));
    EXPECT_EQ(events[0].clickState, 1);
    EXPECT_EQ(events[1].clickState, 1);
    EXPECT_EQ(events[2].clickState, 2);
    EXPECT_EQ(events[3].clickState, 2);

    loop.advance(0.6);
    engine.handleInput(left(ButtonAction::click));
    EXPECT_EQ(recorder.mouseEvents()[4].clickState, 1) << "after the interval a click is single";
}

TEST_F(InputEngineTest, release_carriesTheLatestPressCountOfEitherButton) {
    engine.handleInput(left(ButtonAction::down));
    engine.handleInput(right(ButtonAction::click));
    engine.handleInput(right(ButtonAction::click));
    engine.handleInput(left(ButtonAction::up));
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 6U);
    EXPECT_EQ(events.back().type, MouseEventType::leftMouseUp);
    EXPECT_EQ(events.back().clickState, 2);
}

TEST_F(InputEngineTest, release_ofAButtonNotHeld_isIgnoredCompletely) {
    engine.handleInput(left(ButtonAction::up));
    EXPECT_TRUE(recorder.posted.empty());
    EXPECT_EQ(loop.activeTimerCount(), 0U);

    engine.handleInput(right(ButtonAction::down));
    engine.handleInput(left(ButtonAction::up));
    EXPECT_EQ(recorder.posted.size(), 1U);
    EXPECT_TRUE(engine.held().contains(MouseButton::right));
}

TEST_F(InputEngineTest, press_withMotionPending_flushesTheMotionFirst) {
    recorder.pointer = Point{100, 100};
    engine.handleInput(move(5, 0));
    engine.handleInput(scroll(0, 10));
    engine.handleInput(left(ButtonAction::down));
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 2U);
    EXPECT_EQ(events[0].type, MouseEventType::mouseMoved);
    EXPECT_EQ(events[0].location, (Point{105, 100}));
    EXPECT_EQ(events[0].deltaX, 5);
    EXPECT_EQ(events[1].type, MouseEventType::leftMouseDown);
    EXPECT_EQ(events[1].location, (Point{105, 100}));
    EXPECT_TRUE(recorder.scrollEvents().empty()) << "scrolling is not flushed";
}

TEST_F(InputEngineTest, heldButton_afterTwentySecondsOfSilence_isReleasedAtTheNextTick) {
    engine.handleInput(left(ButtonAction::down));
    EXPECT_EQ(loop.activeTimerCount(), 1U);
    loop.advance(20.0);
    EXPECT_TRUE(engine.held().contains(MouseButton::left)) << "exactly 20 s is not more than 20";
    loop.advance(4.999);
    EXPECT_EQ(recorder.mouseEvents().size(), 1U);
    loop.advance(0.001);
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 2U);
    EXPECT_EQ(events[1].type, MouseEventType::leftMouseUp);
    EXPECT_TRUE(engine.held().empty());
    EXPECT_EQ(loop.activeTimerCount(), 0U);
}

TEST_F(InputEngineTest, heldButton_whileMovesKeepComing_isNeverCut) {
    engine.handleInput(left(ButtonAction::down));
    for (int i = 0; i < 15; ++i) {
        loop.advance(4.0);
        engine.handleInput(move(1, 0));
    }
    EXPECT_TRUE(engine.held().contains(MouseButton::left));
}

TEST_F(InputEngineTest, heldButton_whenTheWallClockJumps_isReleasedOnUptime) {
    engine.handleInput(left(ButtonAction::down));
    loop.setWallTime(loop.wallTime() + 3600.0);
    loop.advance(5.0);
    EXPECT_TRUE(engine.held().contains(MouseButton::left)) << "clock set forward cut the drag";

    loop.setWallTime(loop.wallTime() - 7200.0);
    loop.advance(20.0);
    EXPECT_TRUE(engine.held().empty()) << "clock set back kept the button held";
}

TEST_F(InputEngineTest, releaseAll_releasesEachHeldButtonOnceAndStopsTheTimer) {
    engine.releaseAll();
    EXPECT_TRUE(recorder.posted.empty());
    EXPECT_EQ(loop.activeTimerCount(), 0U);

    engine.handleInput(left(ButtonAction::down));
    engine.handleInput(right(ButtonAction::down));
    engine.releaseAll();
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 4U);
    EXPECT_EQ(events[2].type, MouseEventType::leftMouseUp);
    EXPECT_EQ(events[3].type, MouseEventType::rightMouseUp);
    EXPECT_TRUE(engine.held().empty());
    EXPECT_EQ(loop.activeTimerCount(), 0U);
    engine.releaseAll();
    EXPECT_EQ(recorder.posted.size(), 4U);
}

TEST_F(InputEngineTest, scroll_threePixels_postsWholePixelsInFramesOneTwoAndEight) {
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
    EXPECT_EQ(loop.framesDelivered(), 8U);
    for (const ScrollEvent& event : recorder.scrollEvents()) {
        EXPECT_EQ(event, (ScrollEvent{.vertical = 1, .horizontal = 0, .continuous = true}));
    }
}

TEST_F(InputEngineTest, scroll_onePixel_staysAsARemainderAndCarriesIntoTheNextScroll) {
    engine.handleInput(scroll(0, 1));
    runUntilIdle();
    EXPECT_EQ(loop.framesDelivered(), 6U);
    EXPECT_TRUE(recorder.scrollEvents().empty());

    engine.handleInput(scroll(0, 1));
    runUntilIdle();
    std::int32_t vertical = 0;
    for (const ScrollEvent& event : recorder.scrollEvents()) {
        vertical += event.vertical;
    }
    // Two pixels in all: the carried remainder makes at least one whole, whatever the rounding.
    EXPECT_GE(vertical, 1);
    EXPECT_LE(vertical, 2);
}

TEST_F(InputEngineTest, input_withoutAScreen_waitsUntilAButtonFlushesThePointer) {
    loop.setHasScreen(false);
    recorder.pointer = Point{10, 10};
    engine.handleInput(move(5, 5));
    engine.handleInput(scroll(0, 30));
    loop.advance(1.0);
    EXPECT_TRUE(recorder.posted.empty());

    engine.handleInput(left(ButtonAction::click));
    const auto events = recorder.mouseEvents();
    ASSERT_EQ(events.size(), 3U);
    EXPECT_EQ(events[0].location, (Point{15, 15}));
    EXPECT_TRUE(recorder.scrollEvents().empty());
}

TEST_F(InputEngineTest, pointer_unknownToThePlatform_startsFromTheOrigin) {
    recorder.pointer.reset();
    recorder.pointerFollowsEvents = false;
    engine.handleInput(move(0, 3));
    loop.runFrames(1);
    ASSERT_EQ(recorder.mouseEvents().size(), 1U);
    EXPECT_EQ(recorder.mouseEvents()[0].location.x, 0.0);
    EXPECT_NEAR(recorder.mouseEvents()[0].location.y, 3 * 0.69592, 1e-4);
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
