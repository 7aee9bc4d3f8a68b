#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

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

// A callback that drops its own handle runs to its end: its tag, long enough to live on the
// heap, would show under ASan. A delay of 20.9 ms catches one rounded down to whole ms.
TEST(QtMainLoop, timersFireNoEarlierThanAsked_andNeverOnceTheirHandleIsDropped) {
    QtMainLoop loop;
    const struct {
        const char* name;
        std::function<TimerHandle(double, std::function<void()>)> start;
        bool repeats;
    } timers[] = {
        {"uptime", [&](double s, auto f) { return loop.runAfter(s, TimerClock::uptime, f); },
         false},
        {"continuous",
         [&](double s, auto f) { return loop.runAfter(s, TimerClock::continuous, f); }, false},
        {"every", [&](double s, auto f) { return loop.runEvery(s, f); }, true},
    };
    for (const auto& timer : timers) {
        SCOPED_TRACE(timer.name);
        // With no delay the timerfd is readable at once, so the drop must also silence that.
        int dropped = 0, fired = 0;
        timer.start(0, [&] { ++dropped; }).reset();
        const TimerHandle kept = timer.start(0.01, [&] { ++fired; });
        const std::string tag(64, 't');
        std::vector<std::string> log;
        TimerHandle ending = timer.start(0.0209, [&, tag, start = loop.uptime()] {
            EXPECT_GE(loop.uptime() - start, 0.0209);
            ending.reset();
            log.push_back(tag);
        });
        QEventLoop wait;
        QTimer::singleShot(100, &wait, &QEventLoop::quit);
        wait.exec();
        EXPECT_EQ(log, std::vector<std::string>{tag});
        EXPECT_EQ(dropped, 0);
        EXPECT_EQ(fired > 1, timer.repeats) << fired;
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace
} // namespace tovali
