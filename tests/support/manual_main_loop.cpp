#include "support/manual_main_loop.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tovali::test {

struct ManualMainLoop::TimerState {
    std::uint64_t order = 0;
    TimerClock clock = TimerClock::uptime;
    double due = 0.0; // on its own clock
    double interval = 0.0;
    bool repeats = false;
    bool active = true;
    std::function<void()> fired;
};

struct ManualMainLoop::LinkState {
    DisplayLink* link = nullptr; // null once the link is destroyed
    std::function<void(DisplayLink&)> frame;
    double period = 1.0 / 60.0;
    bool paused = true;
    std::int64_t nextFrame = 0;
    double timestamp = 0.0;
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

class ManualDisplayLink : public DisplayLink {
public:
    ManualDisplayLink(std::shared_ptr<ManualMainLoop::LinkState> state, const MainLoop& loop)
        : state_(std::move(state)), loop_(loop) {
        state_->link = this;
    }
    ~ManualDisplayLink() override { state_->link = nullptr; }

    void setPaused(bool paused) override {
        if (state_->paused && !paused) {
            // The next frame is the next whole multiple of the period after now.
            const double periods = loop_.uptime() / state_->period;
            state_->nextFrame = static_cast<std::int64_t>(std::floor(periods + 1e-9)) + 1;
        }
        state_->paused = paused;
    }
    bool isPaused() const override { return state_->paused; }
    double timestamp() const override { return state_->timestamp; }
    double duration() const override { return state_->period; }

private:
    std::shared_ptr<ManualMainLoop::LinkState> state_;
    const MainLoop& loop_;
};

} // namespace

TimerHandle ManualMainLoop::runAfter(double seconds, TimerClock clock,
                                     std::function<void()> fired) {
    auto state = std::make_shared<TimerState>();
    state->order = nextTimerOrder_++;
    state->clock = clock;
    state->due = (clock == TimerClock::uptime ? uptime_ : continuous_) + std::max(seconds, 0.0);
    state->fired = std::move(fired);
    timers_.push_back(state);
    return std::make_unique<ManualTimer>(std::move(state));
}

TimerHandle ManualMainLoop::runEvery(double interval, std::function<void()> fired) {
    auto state = std::make_shared<TimerState>();
    state->order = nextTimerOrder_++;
    state->due = uptime_ + interval;
    state->interval = interval;
    state->repeats = true;
    state->fired = std::move(fired);
    timers_.push_back(state);
    return std::make_unique<ManualTimer>(std::move(state));
}

std::unique_ptr<DisplayLink>
ManualMainLoop::makeDisplayLink(std::function<void(DisplayLink&)> frame) {
    if (!hasScreen_) {
        return nullptr;
    }
    auto state = std::make_shared<LinkState>();
    state->frame = std::move(frame);
    state->period = 1.0 / refreshRate_;
    links_.push_back(state);
    return std::make_unique<ManualDisplayLink>(std::move(state), *this);
}

double ManualMainLoop::uptimeWhenDue(const TimerState& timer) const {
    return timer.clock == TimerClock::uptime ? timer.due : uptime_ + (timer.due - continuous_);
}

ManualMainLoop::Due ManualMainLoop::nextDue() const {
    Due next{never, nullptr, nullptr};
    for (const auto& timer : timers_) {
        const double at = uptimeWhenDue(*timer);
        if (timer->active &&
            (at < next.at || (at == next.at && next.timer && timer->order < next.timer->order))) {
            next = {at, timer, nullptr};
        }
    }
    for (const auto& link : links_) {
        const double at = static_cast<double>(link->nextFrame) * link->period;
        // On a tie the timers run first.
        if (link->link && !link->paused && at < next.at) {
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
        if (timer->repeats) {
            timer->due += timer->interval;
        } else {
            timer->active = false;
        }
        const std::function<void()> fired = timer->fired;
        fired();
    } else {
        const std::shared_ptr<LinkState> link = due.link;
        link->timestamp = static_cast<double>(link->nextFrame) * link->period;
        ++link->nextFrame;
        ++framesDelivered_;
        const std::function<void(DisplayLink&)> frame = link->frame;
        frame(*link->link);
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
    return static_cast<std::size_t>(std::count_if(links_.begin(), links_.end(), [](const auto& l) {
        return l->link != nullptr && !l->paused;
    }));
}

} // namespace tovali::test
