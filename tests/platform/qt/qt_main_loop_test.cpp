#include <ctime>

#include <gtest/gtest.h>

#include "platform/qt/qt_main_loop.hpp"

namespace tovali {
namespace {

// Stored dates count from 2001, and each clock must be the one its callers mean.
TEST(QtMainLoop, clocksAgreeWithTheSystem) {
    QtMainLoop loop;
    auto seconds = [](clockid_t clock) {
        timespec now{};
        clock_gettime(clock, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    };
    EXPECT_NEAR(loop.wallTime(), static_cast<double>(std::time(nullptr)) - 978307200, 2.0);
    EXPECT_NEAR(loop.uptime(), seconds(CLOCK_MONOTONIC), 0.01);
    EXPECT_NEAR(loop.continuousTime(), seconds(CLOCK_BOOTTIME), 0.01);
}

} // namespace
} // namespace tovali
