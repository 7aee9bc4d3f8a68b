#pragma once

#include <string>

#include "support/child_process.hpp"

namespace tovali::test {

/// A private headless sway with one 1280x720 output and no input devices. sway refuses to run
/// as root, so under root it runs as nobody; root still reaches its socket.
class HeadlessSway {
public:
    static constexpr int width = 1280;
    static constexpr int height = 720;

    HeadlessSway();
    ~HeadlessSway();
    HeadlessSway(const HeadlessSway&) = delete;
    HeadlessSway& operator=(const HeadlessSway&) = delete;

    /// Starts it (again, on the same socket path after a stop); empty, or why it failed.
    std::string start();
    void stop();

    /// For WAYLAND_DISPLAY: libwayland takes an absolute path as it is.
    std::string socket() const { return runtime_ + "/wayland-1"; }
    const std::string& error() const { return error_; }

private:
    TemporaryFolder folder_{"tovali-sway"};
    std::string runtime_;
    ChildProcess sway_;
    std::string error_;
};

} // namespace tovali::test
