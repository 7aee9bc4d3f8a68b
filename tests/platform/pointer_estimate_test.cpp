#include <gtest/gtest.h>

#include "platform/pointer_estimate.hpp"
#include "support/event_recorder.hpp"

namespace tovali {
namespace {

TEST(PointerEstimate, StartsCentredAndFollowsEventsOnTheDisplays) {
    test::EventRecorder displays;
    displays.displays = {{0, 0, 1920, 1080}, {1920, -200, 1280, 1024}};
    PointerEstimate estimate(displays);
    EXPECT_EQ(estimate.location(), (Point{960, 540}));

    struct Step {
        Point target;
        Point where;
        Point moved;
    };
    for (const Step& step : {
             Step{{1000, 600}, {1000, 600}, {40, 60}},
             // Into the gap above the first display: the nearest point of the second one.
             Step{{2000, -300}, {2000, -200}, {1000, -800}},
             // Off the far corner of the first display: one point in from its edges.
             Step{{-50, 5000}, {0, 1079}, {-2000, 1279}},
         }) {
        EXPECT_EQ(estimate.moveTo(step.target), step.moved);
        EXPECT_EQ(estimate.location(), step.where);
    }

    // A display that goes away takes the estimate to the nearest one left.
    ASSERT_EQ(estimate.moveTo({2500, 100}), (Point{2500, -979}));
    displays.displays.pop_back();
    EXPECT_EQ(estimate.location(), (Point{1919, 100}));
    estimate.forget();
    EXPECT_EQ(estimate.location(), (Point{960, 540}));
}

} // namespace
} // namespace tovali
