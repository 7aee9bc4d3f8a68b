#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "common/published.hpp"

namespace tovali {
namespace {

TEST(Published, observersHearEveryAssignmentBeforeItIsStoredUntilTheyLeave) {
    Published<int> value(1);
    std::vector<std::pair<int, int>> heard; // new value, value held while told
    int secondHeard = 0;
    std::optional<Subscription> second;
    const Subscription first = value.subscribe([&](const int& next) {
        heard.emplace_back(next, value.value());
        second.reset(); // the second observer leaves before its turn
    });
    second = value.subscribe([&](const int&) { ++secondHeard; });
    value.set(2);
    value.set(2);
    EXPECT_EQ(heard, (std::vector<std::pair<int, int>>{{2, 1}, {2, 2}}));
    EXPECT_EQ(value.value(), 2);
    EXPECT_EQ(secondHeard, 0);

    Subscription outliving;
    {
        Published<int> gone(0);
        outliving = gone.subscribe([](const int&) {});
    }
    outliving.reset(); // must not touch the destroyed value
}

TEST(Published, latestOfTwo_startsWithTheCurrentPairAndPairsEachNewValueWithTheOther) {
    Published<int> number(1);
    Published<bool> flag(false);
    std::vector<std::pair<int, bool>> heard;
    std::optional<Subscription> both =
        observeLatest(number, flag,
                      std::function<void(const int&, const bool&)>(
                          [&](const int& n, const bool& f) { heard.emplace_back(n, f); }));
    number.set(2); // heard before it is stored: the pair must carry the new value
    flag.set(true);
    both.reset();
    number.set(3);
    EXPECT_EQ(heard, (std::vector<std::pair<int, bool>>{{1, false}, {2, false}, {2, true}}));
}

TEST(Published, removingDuplicates_passesOnOnlyChangesIncludingTheFirstValue) {
    Published<std::optional<int>> value(std::nullopt);
    std::vector<std::optional<int>> heard;
    const Subscription subscription =
        observe(value, removingDuplicates<std::optional<int>>(
                           [&](const std::optional<int>& v) { heard.push_back(v); }));
    value.set(std::nullopt);
    value.set(4);
    value.set(4);
    value.set(std::nullopt);
    EXPECT_EQ(heard, (std::vector<std::optional<int>>{std::nullopt, 4, std::nullopt}));
}

} // namespace
} // namespace tovali
