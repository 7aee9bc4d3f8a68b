#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "common/published.hpp"

namespace tovali {
namespace {

TEST(Published, observersHearEveryAssignmentBeforeItIsStored) {
    Published<int> value(1);
    std::vector<std::pair<int, int>> heard; // new value, value held while told
    const Subscription subscription =
        value.subscribe([&](const int& next) { heard.emplace_back(next, value.value()); });
    value.set(2);
    value.set(2);
    EXPECT_EQ(heard, (std::vector<std::pair<int, int>>{{2, 1}, {2, 2}}));
    EXPECT_EQ(value.value(), 2);
}

TEST(Published, droppingTheSubscriptionStopsTheObserverEvenDuringAnAnnouncement) {
    Published<int> value(0);
    int firstHeard = 0;
    int secondHeard = 0;
    std::optional<Subscription> second;
    const Subscription first = value.subscribe([&](const int&) {
        ++firstHeard;
        second.reset(); // the second observer leaves before its turn
    });
    second = value.subscribe([&](const int&) { ++secondHeard; });
    value.set(1);
    value.set(2);
    EXPECT_EQ(firstHeard, 2);
    EXPECT_EQ(secondHeard, 0);
}

TEST(Published, aSubscriptionMayOutliveItsValue) {
    Subscription subscription;
    {
        Published<int> value(0);
        subscription = value.subscribe([](const int&) {});
    }
    subscription.reset(); // must not touch the destroyed value
    SUCCEED();
}

} // namespace
} // namespace tovali
