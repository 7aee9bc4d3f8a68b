#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/main_loop.hpp"

namespace tovali::test {

/// A main loop on virtual time: nothing happens until a test advances the clocks, and then
/// timers and display frames run in time order. Display frames fall on whole multiples of the
/// refresh period, counted from uptime 0, so frame durations are exact.
class ManualMainLoop : public MainLoop {
public:
    double uptime() const override { return uptime_; }
    double continuousTime() const override { return continuous_; }
    double wallTime() const override { return wall_; }

    TimerHandle runAfter(double seconds, TimerClock clock, std::function<void()> fired) override;
    TimerHandle runEvery(double interval, std::function<void()> fired) override;
    std::unique_ptr<DisplayLink> makeDisplayLink(std::function<void(DisplayLink&)> frame) override;

    /// Lets `seconds` pass on all three clocks, running what falls due on the way.
    void advance(double seconds);
    /// Runs until `count` more display frames have been delivered or no display link is running.
    void runFrames(int count);
    /// The computer sleeps: the continuous and wall clocks move on, uptime stands still.
    void sleep(double seconds);
    /// The user sets the wall clock.
    void setWallTime(double seconds) { wall_ = seconds; }

    void setRefreshRate(double hertz) { refreshRate_ = hertz; }
    /// Without a screen no display link can be made.
    void setHasScreen(bool hasScreen) { hasScreen_ = hasScreen; }

    /// Timers scheduled and neither cancelled nor spent.
    std::size_t activeTimerCount() const;
    /// Display links that exist and are not paused.
    std::size_t runningDisplayLinkCount() const;

    struct TimerState;
    class Link;

private:
    struct Due {
        double at = 0.0;
        std::shared_ptr<TimerState> timer;
        Link* link = nullptr;
    };
    Due nextDue() const;
    double uptimeWhenDue(const TimerState& timer) const;
    void moveClocksTo(double uptime);
    void run(const Due& due);

    double uptime_ = 0.0;
    double continuous_ = 0.0;
    double wall_ = 800'000'000.0;
    double refreshRate_ = 60.0;
    bool hasScreen_ = true;
    std::size_t framesDelivered_ = 0;
    /// In the order they were made.
    std::vector<std::shared_ptr<TimerState>> timers_;
    /// The links that exist; each outlives neither the loop nor its place here.
    std::vector<Link*> links_;
};

} // namespace tovali::test
