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

    /// Starts it (again, after a stop); empty, or why it failed.
    std::string start();
    void stop() { sway_.stop(); }

    /// For WAYLAND_DISPLAY: libwayland takes an absolute path as it is.
    const std::string& socket() const { return socket_; }
    const std::string& error() const { return error_; }

private:
    TemporaryFolder folder_{"tovali-sway"};
    std::string runtime_ = folder_.path() + "/run";
    std::string socket_;
    ChildProcess sway_;
    std::string error_;
};

} // namespace tovali::test
