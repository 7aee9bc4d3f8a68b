#include "platform/qt/timer_fd.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/timerfd.h>
#include <unistd.h>
#include <utility>

namespace tovali {
namespace {

timespec toTimespec(std::chrono::nanoseconds value) {
    auto seconds = std::chrono::floor<std::chrono::seconds>(value);
    return {static_cast<time_t>(seconds.count()), static_cast<long>((value - seconds).count())};
}

} // namespace

std::chrono::nanoseconds clockNow(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

std::optional<TimerFd> TimerFd::open(clockid_t clock) {
    int fd = timerfd_create(clock, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    return TimerFd(fd);
}

TimerFd::TimerFd(TimerFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

TimerFd& TimerFd::operator=(TimerFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

TimerFd::~TimerFd() {
    if (fd_ >= 0)
        close(fd_);
}

bool TimerFd::armOnce(std::chrono::nanoseconds delay) {
    // An all-zero value would disarm the timer instead of firing it.
    itimerspec setting{{}, toTimespec(std::max(delay, std::chrono::nanoseconds(1)))};
    return timerfd_settime(fd_, 0, &setting, nullptr) == 0;
}

bool TimerFd::armPeriodic(std::chrono::nanoseconds first, std::chrono::nanoseconds period) {
    itimerspec setting{toTimespec(period), toTimespec(first)};
    return timerfd_settime(fd_, TFD_TIMER_ABSTIME, &setting, nullptr) == 0;
}

void TimerFd::disarm() {
    itimerspec setting{};
    timerfd_settime(fd_, 0, &setting, nullptr);
}

std::uint64_t TimerFd::takeExpirations() {
    std::uint64_t count = 0;
    ssize_t got;
    do
        got = read(fd_, &count, sizeof count);
    while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof count) ? count : 0;
}

} // namespace tovali
