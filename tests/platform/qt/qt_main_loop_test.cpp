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

constexpr TimerClock bothClocks[] = {TimerClock::uptime, TimerClock::continuous};

/// Long enough to live on the heap, so that a callback freed while running shows under ASan.
const std::string heapTag(64, 't');

TEST(QtMainLoop, clocksAgreeWithTheSystemAndTimersFireNoEarlierThanAsked) {
    QtMainLoop loop;
    auto seconds = [](clockid_t clock) {
        timespec now{};
        clock_gettime(clock, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    };
    EXPECT_NEAR(loop.wallTime(), static_cast<double>(std::time(nullptr)) - 978307200, 2.0);
    EXPECT_NEAR(loop.uptime(), seconds(CLOCK_MONOTONIC), 0.01);
    EXPECT_NEAR(loop.continuousTime(), seconds(CLOCK_BOOTTIME), 0.01);
    const double up = loop.uptime();
    EXPECT_LE(up, loop.continuousTime()); // sleep only ever adds to the continuous clock

    for (TimerClock clock : bothClocks) {
        auto now = [&] {
            return clock == TimerClock::uptime ? loop.uptime() : loop.continuousTime();
        };
        int fired = 0;
        double start = now(), firedAt = 0;
        // A fraction of a millisecond catches a Qt timer rounded down to whole milliseconds.
        TimerHandle handle = loop.runAfter(0.0209, clock, [&] { ++fired, firedAt = now(); });
        ASSERT_TRUE(runUntil([&] { return fired > 0; }));
        EXPECT_GE(firedAt - start, 0.0209);
        runFor(50ms);
        EXPECT_EQ(fired, 1);
    }

    std::vector<double> firedAt;
    double start = loop.uptime();
    TimerHandle handle = loop.runEvery(0.01, [&] { firedAt.push_back(loop.uptime()); });
    ASSERT_TRUE(runUntil([&] { return firedAt.size() >= 4; }));
    for (std::size_t i = 0; i < firedAt.size(); ++i)
        EXPECT_GE(firedAt[i] - start, static_cast<double>(i + 1) * 0.01 - 0.001) << i;
}

TEST(QtMainLoop, handle_droppedBeforeOrInsideTheCallback_timerNeverFiresAgain) {
    QtMainLoop loop;
    const std::function<TimerHandle(std::function<void()>)> starts[] = {
        [&](auto fired) { return loop.runAfter(0, TimerClock::uptime, std::move(fired)); },
        [&](auto fired) { return loop.runAfter(0, TimerClock::continuous, std::move(fired)); },
        [&](auto fired) { return loop.runEvery(0.005, std::move(fired)); },
    };
    for (const auto& start : starts) {
        // With no delay the timerfd is readable at once, so the drop must also silence that.
        int dropped = 0;
        start([&] { ++dropped; }).reset();
        std::vector<std::string> log;
        TimerHandle handle = start([&log, &handle, tag = heapTag] {
            handle.reset();
            log.push_back(tag);
        });
        ASSERT_TRUE(runUntil([&] { return !log.empty(); }));
        runFor(40ms);
        EXPECT_EQ(log, std::vector<std::string>{heapTag});
        EXPECT_EQ(dropped, 0);
    }
}

double screenPeriod() {
    double rate = QGuiApplication::primaryScreen()->refreshRate();
    return 1 / (rate > 0 ? rate : 60);
}

std::chrono::milliseconds periods(double count) {
    return std::chrono::milliseconds(std::lround(count * 1000 * screenPeriod()));
}

TEST(QtDisplayLink, link_resumedThenPausedOrDestroyedInOrOutOfItsCallback_framesStop) {
    QtMainLoop loop;
    std::vector<double> stamps;
    auto pausing = loop.makeDisplayLink([&](DisplayLink& self) {
        EXPECT_DOUBLE_EQ(self.duration(), screenPeriod());
        EXPECT_LE(self.timestamp(), loop.uptime());
        EXPECT_GT(self.timestamp(), loop.uptime() - 0.25);
        stamps.push_back(self.timestamp());
        self.setPaused(true);
    });
    std::vector<std::string> log;
    std::unique_ptr<DisplayLink> ending;
    ending = loop.makeDisplayLink([&log, &ending, tag = heapTag](DisplayLink&) {
        ending.reset();
        log.push_back(tag);
    });
    int frames = 0;
    auto dropped = loop.makeDisplayLink([&](DisplayLink&) { ++frames; });
    ASSERT_TRUE(pausing && ending && dropped);
    runFor(periods(3));
    EXPECT_TRUE(stamps.empty()) << "a new link waits to be resumed";
    for (DisplayLink* link : {pausing.get(), ending.get(), dropped.get()})
        link->setPaused(false);
    ASSERT_TRUE(runUntil([&] { return !stamps.empty() && !log.empty() && frames > 0; }));
    dropped.reset();
    const int framesWhenDropped = frames;
    runFor(periods(4));
    EXPECT_EQ(stamps.size(), 1u);
    EXPECT_TRUE(pausing->isPaused());
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(frames, framesWhenDropped);

    pausing->setPaused(false);
    ASSERT_TRUE(runUntil([&] { return stamps.size() == 2; }));
    EXPECT_GT(stamps[1], stamps[0]);
}

} // namespace
} // namespace tovali
