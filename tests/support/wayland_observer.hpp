#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tovali::test {

struct WaylandWindow;

/// A fullscreen window of its own on the headless sway, recording the pointer events that
/// reach it, for tests that must see from outside what a virtual pointer did.
class WaylandObserver {
public:
    struct Event {
        /// "enter", "motion", "button", "axis", "axis_source" or "axis_stop".
        std::string kind;
        /// Surface coordinates for enter and motion; button and state; axis and value; source.
        double a = 0;
        double b = 0;
        friend bool operator==(const Event&, const Event&) = default;
    };

    /// Connects to the compositor at `socket` and shows the window; error() says why not.
    explicit WaylandObserver(const std::string& socket);
    ~WaylandObserver();

    const std::string& error() const { return error_; }
    /// Reads what the compositor sent, waiting up to `timeoutMs` for something to arrive.
    void read(int timeoutMs);
    /// Reads until `count` events of `kind` arrived since the last clear, up to `timeoutMs`.
    bool waitFor(const std::string& kind, std::size_t count, int timeoutMs = 3000);
    /// The events of these kinds, in order.
    std::vector<Event> events(const std::vector<std::string>& kinds) const;
    void clear() { events_.clear(); }
    /// Where the pointer is on the window, from the last enter or motion.
    double x = -1;
    double y = -1;

private:
    friend struct WaylandWindow;
    std::unique_ptr<WaylandWindow> window_;
    std::vector<Event> events_;
    std::string error_;
};

} // namespace tovali::test
