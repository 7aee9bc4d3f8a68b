#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>

namespace tovali {

/// The current time on a POSIX clock.
std::chrono::nanoseconds clockNow(clockid_t clock);

/// A non-blocking Linux timerfd: it becomes readable when it expires, so an event loop can
/// watch it like a socket.
class TimerFd {
public:
    /// A disarmed timer on `clock`, or none when the kernel refuses one.
    static std::optional<TimerFd> open(clockid_t clock);

    TimerFd(TimerFd&& other) noexcept;
    TimerFd& operator=(TimerFd&& other) noexcept;
    TimerFd(const TimerFd&) = delete;
    TimerFd& operator=(const TimerFd&) = delete;
    ~TimerFd();

    int fd() const { return fd_; }

    /// Expires once, `delay` from now; as soon as possible when `delay` is not positive.
    bool armOnce(std::chrono::nanoseconds delay);
    /// Expires at `first` on the timer's clock, then every `period`.
    bool armPeriodic(std::chrono::nanoseconds first, std::chrono::nanoseconds period);
    /// Stops the timer and forgets expirations not yet taken.
    void disarm();
    /// How many times the timer expired since the last call; 0 when it did not.
    std::uint64_t takeExpirations();

private:
    explicit TimerFd(int fd) : fd_(fd) {}

    int fd_ = -1;
};

} // namespace tovali
