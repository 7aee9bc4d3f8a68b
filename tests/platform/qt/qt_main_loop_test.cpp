#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <cmath>
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
    using Start = std::function<TimerHandle(double, std::function<void()>)>;
    const struct {
        const char* name;
        Start start;
        std::size_t firings;
        double slack; // a repeating timer keeps its rate on average
    } timers[] = {
        {"uptime", [&](double s, auto f) { return loop.runAfter(s, TimerClock::uptime, f); }, 1, 0},
        {"continuous",
         [&](double s, auto f) { return loop.runAfter(s, TimerClock::continuous, f); }, 1, 0},
        {"every", [&](double s, auto f) { return loop.runEvery(s, f); }, 4, 0.001},
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
        ASSERT_TRUE(runUntil([&] { return firedAt.size() >= timer.firings; }));
        runFor(40ms);
        EXPECT_EQ(log, std::vector<std::string>{heapTag});
        EXPECT_EQ(dropped, 0);
        EXPECT_TRUE(timer.firings > 1 ? firedAt.size() > timer.firings : firedAt.size() == 1);
        for (std::size_t i = 0; i < firedAt.size(); ++i)
            EXPECT_GE(firedAt[i], static_cast<double>(i + 1) * delay - timer.slack) << i;
    }
}

TEST(QtDisplayLink, link_resumedThenPausedOrDestroyedInItsCallback_framesStop) {
    QtMainLoop loop;
    const double rate = QGuiApplication::primaryScreen()->refreshRate();
    const double period = 1 / (rate > 0 ? rate : 60);
    const auto periods = [&](int count) {
        return std::chrono::milliseconds(std::lround(count * 1000 * period));
    };
    std::vector<double> stamps;
    auto pausing = loop.makeDisplayLink([&](DisplayLink& self) {
        EXPECT_DOUBLE_EQ(self.duration(), period);
        EXPECT_LE(self.timestamp(), loop.uptime());
        EXPECT_GT(self.timestamp(), loop.uptime() - 0.25);
        stamps.push_back(self.timestamp());
        self.setPaused(true);
    });
    std::vector<std::string> log;
    std::unique_ptr<DisplayLink> ending =
        loop.makeDisplayLink([&log, &ending, tag = heapTag](DisplayLink&) {
            ending.reset();
            log.push_back(tag);
        });
    ASSERT_TRUE(pausing && ending);
    runFor(periods(3));
    EXPECT_TRUE(stamps.empty()) << "a new link waits to be resumed";
    pausing->setPaused(false);
    ending->setPaused(false);
    ASSERT_TRUE(runUntil([&] { return !stamps.empty() && !log.empty(); }));
    runFor(periods(4));
    EXPECT_EQ(stamps.size(), 1u);
    EXPECT_TRUE(pausing->isPaused());
    EXPECT_EQ(log.size(), 1u);

    pausing->setPaused(false);
    ASSERT_TRUE(runUntil([&] { return stamps.size() == 2; }));
    EXPECT_GT(stamps[1], stamps[0]);
}

} // namespace
} // namespace tovali
