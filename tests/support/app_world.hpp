#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bluez_stand_in.hpp"
#include "child_process.hpp"
#include "session_bus.hpp"
#include "xvfb_server.hpp"

struct _XDisplay;

namespace tovali::test {

/// The real application in a world of its own: a private X server, a private system bus with
/// bluetoothd's stand-in on it, a private session bus with no secret store, and a home folder
/// of its own. The test drives it from outside, as a user and a watch would.
class AppWorld {
public:
    enum class Bluetooth {
        /// A private system bus with the stand-in.
        standIn,
        /// The machine's own system bus and bluetoothd, where a test owns the machine.
        system,
    };

    explicit AppWorld(Bluetooth bluetooth = Bluetooth::standIn);
    ~AppWorld();
    AppWorld(const AppWorld&) = delete;
    AppWorld& operator=(const AppWorld&) = delete;

    /// Why the world could not be made, or empty.
    const std::string& error() const { return error_; }

    /// Starts the application, again once it has ended, with these arguments and its environment
    /// extended; empty, or why it could not start.
    std::string launch(const std::string& executable,
                       const std::vector<std::string>& arguments = {},
                       const std::vector<std::string>& moreEnvironment = {});
    /// Starts another copy in the same world, as a second start by the user would; with the
    /// session bus unreachable when `sessionBus` is false. After launch().
    std::string launchAnother(ChildProcess& process, const std::string& executable,
                              bool sessionBus = true);
    /// SIGTERM, as the session manager sends at logout; answers how it ended.
    std::string terminate();
    ChildProcess& app() { return app_; }
    pid_t pid() const { return app_.pid(); }
    /// The application's own messages, for a failure's explanation.
    std::string log() const;
    /// The application's session bus, for the desktop services a test runs there.
    const std::string& sessionBusAddress() const { return sessionBus_.address(); }

    /// Only with the stand-in.
    BluezStandIn& bluez() { return *bluez_; }

    /// The mapped top-level window with this title, waiting up to `timeoutMs` for it.
    std::optional<unsigned long> waitForWindow(const std::string& title, int timeoutMs = 5000);
    /// Whether `window` is stacked above `other`.
    bool isAbove(unsigned long window, unsigned long other);
    /// True once the window holds the keyboard focus.
    bool waitForFocus(unsigned long window, int timeoutMs = 5000);
    /// A mapped window of the test's own, as another application's would be.
    unsigned long openWindow(const std::string& title);
    /// Gives the window the keyboard focus, as a click or the window manager would.
    void focus(unsigned long window);
    /// A window property of 32-bit items, such as _NET_WM_DESKTOP.
    std::optional<unsigned long> cardinalProperty(unsigned long window, const char* name);
    /// Presses and releases a key at the X server, as the keyboard would.
    void pressKey(unsigned long keysym);
    struct Pointer {
        int x;
        int y;
        unsigned int buttons;
    };
    Pointer pointer();

private:
    std::vector<std::string> environment(bool sessionBus) const;
    /// The root's children, bottom first.
    std::vector<unsigned long> topWindows();

    XvfbServer xvfb_;
    std::unique_ptr<SessionBus> systemBus_;
    SessionBus sessionBus_;
    TemporaryFolder home_{"tovali-home"};
    std::unique_ptr<BluezStandIn> bluez_;
    _XDisplay* display_ = nullptr;
    ChildProcess app_;
    int logFd_ = -1;
    std::string error_;
};

} // namespace tovali::test
