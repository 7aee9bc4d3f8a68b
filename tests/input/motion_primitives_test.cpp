#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "input/click_counter.hpp"
#include "input/motion_smoother.hpp"
#include "input/pixel_accumulator.hpp"

namespace tovali {
namespace {

TEST(MotionSmoother, step_releasesItsShareAndSnapsOnlyWhenBothAxesAreNearlyDone) {
    constexpr double frame = 1.0 / 60.0;
    const double share = 1.0 - std::exp(-frame / 0.014);
    const struct {
        const char* what;
        double timeConstant;
        Motion added;
        double dt;
        Motion out;
    } cases[] = {
        {"nothing pending", 0.014, {0, 0}, frame, {0, 0}},
        {"unsmoothed", 0.0, {12.5, -3}, frame, {12.5, -3}},
        {"a share", 0.014, {100, 0.06}, frame, {100 * share, 0.06 * share}}, // y waits for x
        {"the rest snaps", 0.014, {0.1, 0}, frame, {0.1, 0}},
        {"zero frame, below the snap", 0.014, {0.04, -0.03}, 0.0, {0.04, -0.03}},
        {"zero frame, x at the snap", 0.014, {0.05, 0.04}, 0.0, {0, 0}},
        {"zero frame, y at the snap", 0.014, {0.04, 0.05}, 0.0, {0, 0}},
    };
    for (const auto& c : cases) {
        MotionSmoother smoother{c.timeConstant};
        smoother.addMotion(c.added.x, c.added.y);
        const Motion out = smoother.step(c.dt);
        EXPECT_NEAR(out.x, c.out.x, 1e-12) << c.what;
        EXPECT_NEAR(out.y, c.out.y, 1e-12) << c.what;
        EXPECT_NEAR(smoother.pendingX, c.added.x - c.out.x, 1e-12) << c.what;
        EXPECT_NEAR(smoother.pendingY, c.added.y - c.out.y, 1e-12) << c.what;
    }
}

TEST(PixelAccumulator, extractWhole_carriesSignedFractionsAndSaturates) {
    PixelAccumulator acc;
    EXPECT_EQ(acc.extractWhole(1.7, -1.7), (WholePixels{1, -1}));
    EXPECT_EQ(acc.extractWhole(0.4, -0.4), (WholePixels{1, -1}));
    EXPECT_NEAR(acc.x, 0.1, 1e-12);
    EXPECT_NEAR(acc.y, -0.1, 1e-12);
    PixelAccumulator below;
    EXPECT_EQ(below.extractWhole(0.9999999999999999, -0.99), (WholePixels{0, 0}));
    EXPECT_EQ(below.extractWhole(0.0, -0.01), (WholePixels{0, -1})) << "exactly -1 is whole";
    EXPECT_EQ(below.y, 0.0);
    // Unrepresentable sums saturate and leave no remainder.
    PixelAccumulator huge{0.5, 0.5};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(huge.extractWhole(-1e12, 1e12),
              (WholePixels{std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}));
    EXPECT_EQ(huge.extractWhole(nan, 0.25), (WholePixels{0, 0}));
    EXPECT_EQ(huge.x, 0.0);
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
