#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct wl_buffer;
struct wl_compositor;
struct wl_display;
struct wl_pointer;
struct wl_seat;
struct wl_shm;
struct wl_surface;
struct xdg_surface;
struct xdg_toplevel;
struct xdg_wm_base;

namespace tovali::test {

/// A fullscreen window of its own on a compositor, recording every wl_pointer event that
/// reaches it, for tests that must see from outside what a virtual pointer did.
class WaylandObserver {
public:
    struct Event {
        /// "enter", "motion", "button", "axis", "axis_source", "axis_stop", "frame", "leave".
        std::string kind;
        /// Surface coordinates for enter and motion; button and state; axis and value; source.
        double a = 0;
        double b = 0;
        friend bool operator==(const Event&, const Event&) = default;
    };

    /// Connects to the compositor at `socket` and shows the window; error() says why not.
    explicit WaylandObserver(const std::string& socket);
    ~WaylandObserver();
    WaylandObserver(const WaylandObserver&) = delete;
    WaylandObserver& operator=(const WaylandObserver&) = delete;

    const std::string& error() const { return error_; }
    /// Reads what the compositor sent, waiting up to `timeoutMs` for something to arrive.
    void read(int timeoutMs);
    /// Reads until `count` events of `kind` arrived since the last clear, up to `timeoutMs`.
    bool waitFor(const std::string& kind, std::size_t count, int timeoutMs = 3000);
    /// The events of these kinds, in order; all of them when `kinds` is empty.
    std::vector<Event> events(const std::vector<std::string>& kinds = {}) const;
    void clear() { events_.clear(); }
    /// Where the pointer is on the window, from the last enter or motion.
    double x = -1;
    double y = -1;

private:
    friend struct WaylandObserverListeners;
    void configure(int width, int height);

    wl_display* display_ = nullptr;
    wl_compositor* compositor_ = nullptr;
    wl_shm* shm_ = nullptr;
    wl_seat* seat_ = nullptr;
    xdg_wm_base* shell_ = nullptr;
    wl_pointer* pointer_ = nullptr;
    wl_surface* surface_ = nullptr;
    xdg_surface* xdgSurface_ = nullptr;
    xdg_toplevel* toplevel_ = nullptr;
    wl_buffer* buffer_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    std::vector<Event> events_;
    std::string error_;
};

} // namespace tovali::test
