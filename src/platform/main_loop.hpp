#pragma once

#include <functional>
#include <memory>

namespace tovali {

/// A scheduled timer. Dropping the handle cancels it, so a timer never outlives the object that
/// owns it; a callback may drop its own handle.
class Timer {
public:
    virtual ~Timer() = default;
};
using TimerHandle = std::unique_ptr<Timer>;

/// A frame clock for one screen: calls back once per refresh while not paused. It starts paused.
class DisplayLink {
public:
    virtual ~DisplayLink() = default;

    virtual void setPaused(bool paused) = 0;
    virtual bool isPaused() const = 0;
    /// When the current frame began, in seconds on the uptime clock.
    virtual double timestamp() const = 0;
    /// The screen's refresh period in seconds.
    virtual double duration() const = 0;
};

/// Which clock a one-shot timer counts on.
enum class TimerClock {
    uptime,
    /// Keeps counting while the computer sleeps, so a time-out still ends on time after a wake.
    continuous,
};

/// The one thread's event loop and its clocks. The three clocks are never mixed.
class MainLoop {
public:
    virtual ~MainLoop() = default;

    /// Monotonic seconds; stands still while the computer sleeps.
    virtual double uptime() const = 0;
    /// Monotonic seconds that keep counting while the computer sleeps.
    virtual double continuousTime() const = 0;
    /// Seconds since 2001-01-01 00:00:00 UTC; may jump when the user sets the clock.
    virtual double wallTime() const = 0;

    /// Calls `fired` once, `seconds` from now on `clock`.
    virtual TimerHandle runAfter(double seconds, TimerClock clock, std::function<void()> fired) = 0;
    /// Calls `fired` every `interval` seconds of uptime until the handle is dropped.
    virtual TimerHandle runEvery(double interval, std::function<void()> fired) = 0;
    /// A paused display link on the main screen, or null when there is no screen.
    virtual std::unique_ptr<DisplayLink>
    makeDisplayLink(std::function<void(DisplayLink&)> frame) = 0;
};

} // namespace tovali
