#include "support/wayland_observer.hpp"

#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "xdg-shell-client-protocol.h"

namespace tovali::test {

struct WaylandObserverListeners {
    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t) {
        auto* self = static_cast<WaylandObserver*>(data);
        const auto bind = [&](const wl_interface* type, std::uint32_t version) {
            return wl_registry_bind(registry, name, type, version);
        };
        if (std::strcmp(interface, wl_compositor_interface.name) == 0)
            self->compositor_ = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
        else if (std::strcmp(interface, wl_shm_interface.name) == 0)
            self->shm_ = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
        else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_)
            self->seat_ = static_cast<wl_seat*>(bind(&wl_seat_interface, 5));
        else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0)
            self->shell_ = static_cast<xdg_wm_base*>(bind(&xdg_wm_base_interface, 1));
    }
    static void globalRemove(void*, wl_registry*, std::uint32_t) {}

    // A seat without input devices has no pointer until a virtual one is made.
    static void capabilities(void* data, wl_seat* seat, std::uint32_t capabilities);
    static void seatName(void*, wl_seat*, const char*) {}

    static void ping(void*, xdg_wm_base* shell, std::uint32_t serial) {
        xdg_wm_base_pong(shell, serial);
    }
    // The toplevel's size comes first; the surface's configure closes the sequence.
    static void surfaceConfigure(void* data, xdg_surface* surface, std::uint32_t serial) {
        xdg_surface_ack_configure(surface, serial);
        auto* self = static_cast<WaylandObserver*>(data);
        // sway leaves the first size to the client, and fullscreens the window once mapped.
        self->configure(self->width_ > 0 ? self->width_ : 1280,
                        self->height_ > 0 ? self->height_ : 720);
    }
    static void toplevelConfigure(void* data, xdg_toplevel*, std::int32_t width,
                                  std::int32_t height, wl_array*) {
        static_cast<WaylandObserver*>(data)->width_ = width;
        static_cast<WaylandObserver*>(data)->height_ = height;
    }
    static void toplevelClose(void*, xdg_toplevel*) {}

    static void record(void* data, std::string kind, double a = 0, double b = 0) {
        auto* self = static_cast<WaylandObserver*>(data);
        if (kind == "enter" || kind == "motion") {
            self->x = a;
            self->y = b;
        }
        self->events_.push_back({std::move(kind), a, b});
    }
    static void enter(void* data, wl_pointer*, std::uint32_t, wl_surface*, wl_fixed_t x,
                      wl_fixed_t y) {
        record(data, "enter", wl_fixed_to_double(x), wl_fixed_to_double(y));
    }
    static void leave(void* data, wl_pointer*, std::uint32_t, wl_surface*) {
        record(data, "leave");
    }
    static void motion(void* data, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
        record(data, "motion", wl_fixed_to_double(x), wl_fixed_to_double(y));
    }
    static void button(void* data, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t button,
                       std::uint32_t state) {
        record(data, "button", button, state);
    }
    static void axis(void* data, wl_pointer*, std::uint32_t, std::uint32_t axis, wl_fixed_t value) {
        record(data, "axis", axis, wl_fixed_to_double(value));
    }
    static void frame(void* data, wl_pointer*) { record(data, "frame"); }
    static void axisSource(void* data, wl_pointer*, std::uint32_t source) {
        record(data, "axis_source", source);
    }
    static void axisStop(void* data, wl_pointer*, std::uint32_t, std::uint32_t axis) {
        record(data, "axis_stop", axis);
    }
    static void axisDiscrete(void* data, wl_pointer*, std::uint32_t axis, std::int32_t steps) {
        record(data, "axis_discrete", axis, steps);
    }
};

namespace {
using L = WaylandObserverListeners;
constexpr wl_seat_listener seatListener{L::capabilities, L::seatName};
constexpr wl_registry_listener registryListener{L::global, L::globalRemove};
constexpr xdg_wm_base_listener shellListener{L::ping};
constexpr xdg_surface_listener surfaceListener{L::surfaceConfigure};
constexpr xdg_toplevel_listener toplevelListener{L::toplevelConfigure, L::toplevelClose, nullptr,
                                                 nullptr};
constexpr wl_pointer_listener pointerListener{L::enter,        L::leave, L::motion,     L::button,
                                              L::axis,         L::frame, L::axisSource, L::axisStop,
                                              L::axisDiscrete, nullptr};
} // namespace

void WaylandObserverListeners::capabilities(void* data, wl_seat* seat, std::uint32_t capabilities) {
    auto* self = static_cast<WaylandObserver*>(data);
    if ((capabilities & WL_SEAT_CAPABILITY_POINTER) != 0 && self->pointer_ == nullptr) {
        self->pointer_ = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(self->pointer_, &pointerListener, self);
    }
}

WaylandObserver::WaylandObserver(const std::string& socket) {
    display_ = wl_display_connect(socket.c_str());
    if (display_ == nullptr) {
        error_ = "cannot connect to " + socket;
        return;
    }
    wl_registry* registry = wl_display_get_registry(display_);
    wl_registry_add_listener(registry, &registryListener, this);
    wl_display_roundtrip(display_);
    wl_registry_destroy(registry);
    if (!compositor_ || !shm_ || !seat_ || !shell_) {
        error_ = "the compositor lacks a global the observer needs";
        return;
    }
    xdg_wm_base_add_listener(shell_, &shellListener, this);
    wl_seat_add_listener(seat_, &seatListener, this);
    surface_ = wl_compositor_create_surface(compositor_);
    xdgSurface_ = xdg_wm_base_get_xdg_surface(shell_, surface_);
    xdg_surface_add_listener(xdgSurface_, &surfaceListener, this);
    toplevel_ = xdg_surface_get_toplevel(xdgSurface_);
    xdg_toplevel_add_listener(toplevel_, &toplevelListener, this);
    xdg_toplevel_set_fullscreen(toplevel_, nullptr);
    wl_surface_commit(surface_);
    for (int i = 0; i < 100 && !buffer_; ++i)
        read(50);
    if (!buffer_)
        error_ = "the compositor never configured the observer's window";
    // The window is mapped once the compositor has its first buffer.
    wl_display_roundtrip(display_);
}

// Disconnecting frees no proxy: each is destroyed first.
WaylandObserver::~WaylandObserver() {
    const auto destroy = [](auto* proxy) {
        if (proxy != nullptr)
            wl_proxy_destroy(reinterpret_cast<wl_proxy*>(proxy));
    };
    destroy(buffer_);
    destroy(toplevel_);
    destroy(xdgSurface_);
    destroy(surface_);
    destroy(pointer_);
    destroy(shell_);
    destroy(seat_);
    destroy(shm_);
    destroy(compositor_);
    if (display_ != nullptr)
        wl_display_disconnect(display_);
}

void WaylandObserver::configure(int width, int height) {
    if (buffer_ || width <= 0 || height <= 0)
        return;
    const int stride = width * 4;
    const int size = stride * height;
    const int fd = memfd_create("tovali-observer", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, size) != 0)
        return;
    wl_shm_pool* pool = wl_shm_create_pool(shm_, fd, size);
    buffer_ = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_surface_attach(surface_, buffer_, 0, 0);
    wl_surface_commit(surface_);
}

void WaylandObserver::read(int timeoutMs) {
    if (display_ == nullptr)
        return;
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0)
            return;
    }
    wl_display_flush(display_);
    pollfd readable{.fd = wl_display_get_fd(display_), .events = POLLIN, .revents = 0};
    if (poll(&readable, 1, timeoutMs) > 0) {
        wl_display_read_events(display_);
    } else {
        wl_display_cancel_read(display_);
    }
    wl_display_dispatch_pending(display_);
}

bool WaylandObserver::waitFor(const std::string& kind, std::size_t count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (events({kind}).size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        read(static_cast<int>(left.count()));
    }
    return true;
}

std::vector<WaylandObserver::Event>
WaylandObserver::events(const std::vector<std::string>& kinds) const {
    std::vector<Event> chosen;
    for (const Event& event : events_) {
        bool wanted = kinds.empty();
        for (const auto& kind : kinds)
            wanted = wanted || event.kind == kind;
        if (wanted)
            chosen.push_back(event);
    }
    return chosen;
}

} // namespace tovali::test
