#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/qt/qt_main_loop.hpp"

namespace tovali {
namespace {

using namespace std::chrono_literals;

/// Runs the event loop until `done` holds or `limit` has passed; answers whether it holds.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 2s) {
    QDeadlineTimer deadline(limit);
    QTimer wake; // so that a quiet loop still notices the deadline
    wake.start(5ms);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

void runFor(std::chrono::milliseconds time) {
    runUntil([] { return false; }, time);
}

/// Long enough to live on the heap, so that a callback freed while running shows under ASan.
const std::string heapTag(64, 't');

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

// A delay with a fraction of a millisecond catches a Qt timer rounded down to whole ones.
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
        int dropped = 0;
        timer.start(0, [&] { ++dropped; }).reset();
        std::vector<std::string> log;
        TimerHandle ending = timer.start(0, [&log, &ending, tag = heapTag] {
            ending.reset();
            log.push_back(tag);
        });
        const double delay = 0.0209, start = loop.uptime();
        std::vector<double> firedAt;
        TimerHandle kept = timer.start(delay, [&] { firedAt.push_back(loop.uptime() - start); });
        ASSERT_TRUE(runUntil([&] { return firedAt.size() >= (timer.repeats ? 4 : 1); }));
        runFor(40ms);
        EXPECT_EQ(log, std::vector<std::string>{heapTag});
        EXPECT_EQ(dropped, 0);
        EXPECT_EQ(firedAt.size() > 1, timer.repeats);
        // A repeating timer keeps its rate on average.
        for (std::size_t i = 0; i < firedAt.size(); ++i)
            EXPECT_GE(firedAt[i], static_cast<double>(i + 1) * delay - timer.repeats * 0.001) << i;
    }
}

// A link starts paused, and the engine pauses its link from inside a frame.
TEST(QtDisplayLink, link_waitsToBeResumed_andStopsWhenPausedInItsFrame) {
    QtMainLoop loop;
    std::vector<double> stamps;
    auto link = loop.makeDisplayLink([&](DisplayLink& self) {
        EXPECT_DOUBLE_EQ(self.duration(), 1 / QGuiApplication::primaryScreen()->refreshRate());
        EXPECT_LE(self.timestamp(), loop.uptime());
        EXPECT_GT(self.timestamp(), loop.uptime() - 0.25);
        stamps.push_back(self.timestamp());
        self.setPaused(true);
    });
    ASSERT_TRUE(link);
    runFor(50ms);
    link->setPaused(false);
    runFor(100ms);
    link->setPaused(false);
    ASSERT_TRUE(runUntil([&] { return stamps.size() >= 2; }));
    runFor(50ms);
    ASSERT_EQ(stamps.size(), 2u);
    EXPECT_GT(stamps[1], stamps[0]);
}

} // namespace
} // namespace tovali
