#include "support/manual_main_loop.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tovali::test {

struct ManualMainLoop::TimerState {
    TimerClock clock = TimerClock::uptime;
    double due = 0.0;      // on its own clock
    double interval = 0.0; // repeats when set
    bool active = true;
    std::function<void()> fired;
};

class ManualMainLoop::Link : public DisplayLink {
public:
    Link(ManualMainLoop& loop, std::function<void(DisplayLink&)> onFrame)
        : loop_(loop), frame(std::move(onFrame)), period(1.0 / loop.refreshRate_) {
        loop.links_.push_back(this);
    }
    ~Link() override { std::erase(loop_.links_, this); }

    void setPaused(bool pause) override {
        if (paused && !pause) {
            // The next frame is the next whole multiple of the period after now.
            nextFrame = static_cast<std::int64_t>(std::floor(loop_.uptime() / period + 1e-9)) + 1;
        }
        paused = pause;
    }
    bool isPaused() const override { return paused; }
    double timestamp() const override { return stamp; }
    double duration() const override { return period; }

    ManualMainLoop& loop_;
    std::function<void(DisplayLink&)> frame;
    double period;
    bool paused = true;
    std::int64_t nextFrame = 0;
    double stamp = 0.0;
};

namespace {

constexpr double never = std::numeric_limits<double>::infinity();

class ManualTimer : public Timer {
public:
    explicit ManualTimer(std::shared_ptr<ManualMainLoop::TimerState> state)
        : state_(std::move(state)) {}
    ~ManualTimer() override { state_->active = false; }

private:
    std::shared_ptr<ManualMainLoop::TimerState> state_;
};

} // namespace

TimerHandle ManualMainLoop::runAfter(double seconds, TimerClock clock,
                                     std::function<void()> fired) {
    auto state = std::make_shared<TimerState>();
    state->clock = clock;
    state->due = (clock == TimerClock::uptime ? uptime_ : continuous_) + std::max(seconds, 0.0);
    state->fired = std::move(fired);
    timers_.push_back(state);
    return std::make_unique<ManualTimer>(std::move(state));
}

TimerHandle ManualMainLoop::runEvery(double interval, std::function<void()> fired) {
    TimerHandle handle = runAfter(interval, TimerClock::uptime, std::move(fired));
    timers_.back()->interval = interval;
    return handle;
}

std::unique_ptr<DisplayLink>
ManualMainLoop::makeDisplayLink(std::function<void(DisplayLink&)> frame) {
    if (!hasScreen_) {
        return nullptr;
    }
    return std::make_unique<Link>(*this, std::move(frame));
}

double ManualMainLoop::uptimeWhenDue(const TimerState& timer) const {
    return timer.clock == TimerClock::uptime ? timer.due : uptime_ + (timer.due - continuous_);
}

ManualMainLoop::Due ManualMainLoop::nextDue() const {
    Due next{never, nullptr, nullptr};
    for (const auto& timer : timers_) {
        const double at = uptimeWhenDue(*timer);
        // On a tie the one made first runs first: the list is in the order they were made.
        if (timer->active && at < next.at) {
            next = {at, timer, nullptr};
        }
    }
    for (Link* link : links_) {
        const double at = static_cast<double>(link->nextFrame) * link->period;
        // On a tie the timers run first.
        if (!link->paused && at < next.at) {
            next = {at, nullptr, link};
        }
    }
    return next;
}

void ManualMainLoop::moveClocksTo(double uptime) {
    const double step = std::max(uptime - uptime_, 0.0);
    uptime_ = std::max(uptime, uptime_);
    continuous_ += step;
    wall_ += step;
}

void ManualMainLoop::run(const Due& due) {
    moveClocksTo(due.at);
    if (due.timer) {
        // Held by this copy, the state survives a callback that drops the timer's handle.
        const std::shared_ptr<TimerState> timer = due.timer;
        if (timer->interval > 0.0) {
            timer->due += timer->interval;
        } else {
            timer->active = false;
        }
        const std::function<void()> fired = timer->fired;
        fired();
    } else {
        Link& link = *due.link;
        link.stamp = static_cast<double>(link.nextFrame) * link.period;
        ++link.nextFrame;
        ++framesDelivered_;
        // Held by this copy, the callback survives a frame that destroys its link.
        const std::function<void(DisplayLink&)> frame = link.frame;
        frame(link);
    }
    std::erase_if(timers_, [](const auto& timer) { return !timer->active; });
}

void ManualMainLoop::advance(double seconds) {
    const double until = uptime_ + seconds;
    for (Due due = nextDue(); due.at <= until; due = nextDue()) {
        run(due);
    }
    moveClocksTo(until);
}

void ManualMainLoop::runFrames(int count) {
    const std::size_t target = framesDelivered_ + static_cast<std::size_t>(count);
    // Timers due before a frame run on the way; with no link running there is no frame to wait for.
    while (framesDelivered_ < target && runningDisplayLinkCount() > 0) {
        run(nextDue());
    }
}

void ManualMainLoop::sleep(double seconds) {
    continuous_ += seconds;
    wall_ += seconds;
    // What fell due on the continuous clock runs on waking; uptime timers did not move.
    for (Due due = nextDue(); due.timer && due.at <= uptime_; due = nextDue()) {
        run(due);
    }
}

std::size_t ManualMainLoop::activeTimerCount() const {
    return static_cast<std::size_t>(
        std::count_if(timers_.begin(), timers_.end(), [](const auto& t) { return t->active; }));
}

std::size_t ManualMainLoop::runningDisplayLinkCount() const {
    return static_cast<std::size_t>(
        std::ranges::count_if(links_, [](const Link* link) { return !link->paused; }));
}

} // namespace tovali::test
