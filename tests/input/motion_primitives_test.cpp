#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "input/click_counter.hpp"
#include "input/motion_smoother.hpp"
#include "input/pixel_accumulator.hpp"

namespace tovali {
namespace {

constexpr double frame60 = 1.0 / 60.0;

TEST(MotionSmoother, step_releasesAllOrNothingAtTheExtremes) {
    MotionSmoother empty{0.014};
    EXPECT_EQ(empty.step(frame60), (Motion{0.0, 0.0}));
    MotionSmoother unsmoothed{0.0};
    unsmoothed.addMotion(12.5, -3);
    EXPECT_EQ(unsmoothed.step(frame60), (Motion{12.5, -3.0}));
    EXPECT_TRUE(unsmoothed.isIdle());
    // A zero frame releases only what snaps.
    MotionSmoother large{0.014};
    large.addMotion(1, 0);
    EXPECT_EQ(large.step(0.0), (Motion{0.0, 0.0}));
    EXPECT_EQ(large.pendingX, 1.0);
    MotionSmoother tiny{0.014};
    tiny.addMotion(0.04, -0.03);
    EXPECT_EQ(tiny.step(0.0), (Motion{0.04, -0.03}));
    EXPECT_TRUE(tiny.isIdle());
}

TEST(MotionSmoother, step_snapsOnlyWhenBothAxesAreNearlyDone) {
    MotionSmoother smoother{0.014};
    smoother.addMotion(100, 0.06);
    bool ySawSmallRemainderWhileXBusy = false;
    while (!smoother.isIdle()) {
        const double pendingXBefore = smoother.pendingX;
        const Motion out = smoother.step(frame60);
        if (smoother.pendingX != 0.0) {
            EXPECT_NE(smoother.pendingY, 0.0) << "y snapped alone";
            ySawSmallRemainderWhileXBusy |= std::abs(smoother.pendingY) < 0.05;
        } else {
            EXPECT_EQ(out.x, pendingXBefore);
            EXPECT_EQ(smoother.pendingY, 0.0);
        }
    }
    EXPECT_TRUE(ySawSmallRemainderWhileXBusy);
}

TEST(PixelAccumulator, extractWhole_carriesSignedFractionsAndSaturates) {
    PixelAccumulator acc;
    EXPECT_EQ(acc.extractWhole(1.7, -1.7), (WholePixels{1, -1}));
    EXPECT_EQ(acc.extractWhole(0.4, -0.4), (WholePixels{1, -1}));
    EXPECT_NEAR(acc.x, 0.1, 1e-12);
    EXPECT_NEAR(acc.y, -0.1, 1e-12);
    PixelAccumulator half{0.5, -0.5};
    EXPECT_EQ(half.extractWhole(0.3, 0.3), (WholePixels{0, 0}));
    EXPECT_NEAR(half.x, 0.8, 1e-12);
    EXPECT_NEAR(half.y, -0.2, 1e-12);
    PixelAccumulator below;
    EXPECT_EQ(below.extractWhole(0.9999999999999999, -0.99), (WholePixels{0, 0}));
    EXPECT_EQ(below.extractWhole(0.0, -0.01), (WholePixels{0, -1})) << "exactly -1 is whole";
    EXPECT_EQ(below.y, 0.0);
    // Unrepresentable sums saturate and leave no remainder.
    PixelAccumulator huge{0.5, 0.5};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(huge.extractWhole(nan, 1e12), (WholePixels{0, std::numeric_limits<int>::max()}));
    EXPECT_EQ(huge.x, 0.0);
    EXPECT_EQ(huge.y, 0.0);
    EXPECT_EQ(huge.extractWhole(-1e12, 2.25), (WholePixels{std::numeric_limits<int>::min(), 2}));
    EXPECT_EQ(huge.y, 0.25);
}

TEST(ClickCounter, registerPress_countsQuickNearbyPressesOfOneButton) {
    ClickCounter clicks{0.5, 6.0, std::nullopt};
    EXPECT_EQ(clicks.registerPress(10.0, {100, 100}, MouseButton::left), 1);
    EXPECT_EQ(clicks.registerPress(10.5, {106, 94}, MouseButton::left), 2); // limits inclusive
    EXPECT_EQ(clicks.registerPress(10.7, {106, 94}, MouseButton::left), 3);
    EXPECT_EQ(clicks.registerPress(10.8, {106, 94}, MouseButton::left), 4);
    EXPECT_EQ(clicks.registerPress(10.9, {106, 94}, MouseButton::right), 1);
    EXPECT_EQ(clicks.registerPress(11.0, {106, 94}, MouseButton::left), 1);
    EXPECT_EQ(clicks.registerPress(11.1, {106, 100.5}, MouseButton::left), 1); // 6.5 on y
    EXPECT_EQ(clicks.registerPress(11.61, {106, 100.5}, MouseButton::left), 1);
    EXPECT_EQ(clicks.registerPress(11.7, {99.9, 100.5}, MouseButton::left), 1); // 6.1 on x
}

} // namespace
} // namespace tovali
