#include "platform/qt/qt_main_loop.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/reference_date.hpp"
#include "platform/qt/timer_fd.hpp"

namespace tovali {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

double toSeconds(nanoseconds time) {
    return std::chrono::duration<double>(time).count();
}

/// NaN and negative seconds are no time at all; huge ones are a century.
nanoseconds toDuration(double seconds) {
    constexpr double century = 100.0 * 365 * 24 * 3600;
    if (!(seconds > 0))
        return nanoseconds(0);
    return nanoseconds(std::llround(std::min(seconds, century) * 1e9));
}

/// Qt timers count whole milliseconds in an int.
milliseconds qtInterval(nanoseconds interval, bool repeating) {
    // A one-shot must not end early; a repeating timer should keep its average rate but not
    // degenerate into a busy loop.
    milliseconds ms = repeating ? std::chrono::round<milliseconds>(interval)
                                : std::chrono::ceil<milliseconds>(interval);
    if (repeating && interval > nanoseconds(0))
        ms = std::max(ms, milliseconds(1));
    return std::min(ms, milliseconds(std::numeric_limits<int>::max()));
}

/// What a timer calls, shared with the call in progress so that a callback that drops its own
/// handle still runs to its end.
template <class... Args>
struct Callback {
    explicit Callback(std::function<void(Args...)> f) : function(std::move(f)) {}

    std::function<void(Args...)> function;
    int running = 0;
};

/// Takes `callback` by value: the handle's copy may go while the callback runs.
template <class... Args>
void invoke(std::shared_ptr<Callback<Args...>> callback, std::type_identity_t<Args>... args) {
    ++callback->running;
    callback->function(std::forward<Args>(args)...);
    --callback->running;
}

/// An object whose own signal is on the stack is left for the loop to delete.
void retire(QObject* object, bool emitting) {
    if (emitting)
        object->deleteLater();
    else
        delete object;
}

class QtTimer final : public Timer {
public:
    QtTimer(nanoseconds interval, bool repeating, std::function<void()> fired)
        : callback_(std::make_shared<Callback<>>(std::move(fired))), timer_(new QTimer) {
        timer_->setTimerType(Qt::PreciseTimer);
        timer_->setSingleShot(!repeating);
        QObject::connect(timer_, &QTimer::timeout, [callback = callback_] { invoke(callback); });
        timer_->start(qtInterval(interval, repeating));
    }

    ~QtTimer() override {
        timer_->stop();
        retire(timer_, callback_->running > 0);
    }

    QtTimer(const QtTimer&) = delete;
    QtTimer& operator=(const QtTimer&) = delete;

private:
    std::shared_ptr<Callback<>> callback_;
    QTimer* timer_;
};

/// A one-shot timer on CLOCK_BOOTTIME, which keeps counting while the computer sleeps.
class BootTimer final : public Timer {
public:
    BootTimer(TimerFd fd, std::function<void()> fired)
        : fd_(std::move(fd)), callback_(std::make_shared<Callback<>>(std::move(fired))),
          notifier_(new QSocketNotifier(fd_.fd(), QSocketNotifier::Read)) {
        QObject::connect(notifier_, &QSocketNotifier::activated, [this] { onExpired(); });
    }

    ~BootTimer() override {
        notifier_->setEnabled(false);
        retire(notifier_, callback_->running > 0);
    }

    BootTimer(const BootTimer&) = delete;
    BootTimer& operator=(const BootTimer&) = delete;

private:
    void onExpired() {
        if (fd_.takeExpirations() == 0)
            return;
        notifier_->setEnabled(false);
        invoke(callback_); // `this` may be gone from here on
    }

    TimerFd fd_;
    std::shared_ptr<Callback<>> callback_;
    QSocketNotifier* notifier_;
};

/// Frames from a periodic timerfd on CLOCK_MONOTONIC, the clock of uptime(), whose nanosecond
/// period does not drift the way a whole-millisecond QTimer would.
class TimerFdDisplayLink final : public DisplayLink {
public:
    TimerFdDisplayLink(TimerFd fd, double rate, std::function<void(DisplayLink&)> frame)
        : fd_(std::move(fd)), duration_(1.0 / rate),
          period_(std::max(nanoseconds(std::llround(1e9 / rate)), nanoseconds(1))),
          callback_(std::make_shared<Callback<DisplayLink&>>(std::move(frame))),
          notifier_(new QSocketNotifier(fd_.fd(), QSocketNotifier::Read)) {
        QObject::connect(notifier_, &QSocketNotifier::activated, [this] { onTick(); });
    }

    ~TimerFdDisplayLink() override {
        notifier_->setEnabled(false);
        retire(notifier_, callback_->running > 0);
    }

    TimerFdDisplayLink(const TimerFdDisplayLink&) = delete;
    TimerFdDisplayLink& operator=(const TimerFdDisplayLink&) = delete;

    void setPaused(bool paused) override {
        if (paused == paused_)
            return;
        paused_ = paused;
        if (paused) {
            fd_.disarm();
            return;
        }
        start_ = clockNow(CLOCK_MONOTONIC) + period_;
        ticks_ = 0;
        if (!fd_.armPeriodic(start_, period_))
            paused_ = true;
    }

    bool isPaused() const override { return paused_; }
    double timestamp() const override { return toSeconds(timestamp_); }
    double duration() const override { return duration_; }

private:
    void onTick() {
        std::uint64_t expirations = fd_.takeExpirations();
        if (expirations == 0 || paused_)
            return;
        ticks_ += expirations;
        timestamp_ = start_ + period_ * static_cast<std::int64_t>(ticks_ - 1);
        invoke(callback_, *this); // `this` may be gone from here on
    }

    TimerFd fd_;
    double duration_;
    nanoseconds period_;
    std::shared_ptr<Callback<DisplayLink&>> callback_;
    QSocketNotifier* notifier_;
    bool paused_ = true;
    nanoseconds start_{0};
    std::uint64_t ticks_ = 0;
    nanoseconds timestamp_{0};
};

/// The main screen's refresh rate; none when a GUI application has no screen at all.
std::optional<double> mainScreenRefreshRate() {
    constexpr double fallback = 60;
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return fallback;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return std::nullopt;
    double rate = screen->refreshRate();
    return std::isfinite(rate) && rate > 0 ? rate : fallback;
}

} // namespace

double QtMainLoop::uptime() const {
    return toSeconds(clockNow(CLOCK_MONOTONIC));
}

double QtMainLoop::continuousTime() const {
    return toSeconds(clockNow(CLOCK_BOOTTIME));
}

double QtMainLoop::wallTime() const {
    return toSeconds(clockNow(CLOCK_REALTIME)) - unixTimeOfReferenceDate;
}

TimerHandle QtMainLoop::runAfter(double seconds, TimerClock clock, std::function<void()> fired) {
    nanoseconds delay = toDuration(seconds);
    if (clock == TimerClock::continuous) {
        if (auto fd = TimerFd::open(CLOCK_BOOTTIME); fd && fd->armOnce(delay))
            return std::make_unique<BootTimer>(std::move(*fd), std::move(fired));
        // Without a timerfd the time-out still ends, only later if the computer sleeps.
    }
    return std::make_unique<QtTimer>(delay, false, std::move(fired));
}

TimerHandle QtMainLoop::runEvery(double interval, std::function<void()> fired) {
    return std::make_unique<QtTimer>(toDuration(interval), true, std::move(fired));
}

std::unique_ptr<DisplayLink> QtMainLoop::makeDisplayLink(std::function<void(DisplayLink&)> frame) {
    std::optional<double> rate = mainScreenRefreshRate();
    if (!rate)
        return nullptr;
    std::optional<TimerFd> fd = TimerFd::open(CLOCK_MONOTONIC);
    if (!fd)
        return nullptr;
    return std::make_unique<TimerFdDisplayLink>(std::move(*fd), *rate, std::move(frame));
}

} // namespace tovali
