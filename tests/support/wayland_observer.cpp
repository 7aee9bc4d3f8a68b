#include "support/wayland_observer.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include "support/headless_sway.hpp"
#include "xdg-shell-client-protocol.h"

namespace tovali::test {

struct WaylandWindow {
    WaylandObserver& observer;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    wl_seat* seat = nullptr;
    xdg_wm_base* shell = nullptr;
    wl_pointer* pointer = nullptr;
    wl_surface* surface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    wl_buffer* buffer = nullptr;
    std::vector<wl_proxy*> proxies = {};

    // Disconnecting frees no proxy: each is destroyed first.
    ~WaylandWindow() {
        std::ranges::for_each(proxies, wl_proxy_destroy);
        if (display != nullptr)
            wl_display_disconnect(display);
    }

    // Keeps `proxy` to destroy, and sends its events to dispatch(), which tells them by name.
    template <class T>
    T* keep(T* proxy) {
        proxies.push_back(reinterpret_cast<wl_proxy*>(proxy));
        wl_proxy_add_dispatcher(proxies.back(), dispatch, nullptr, this);
        return proxy;
    }

    static int dispatch(const void*, void* target, std::uint32_t, const wl_message* event,
                        wl_argument* args) {
        auto* proxy = static_cast<wl_proxy*>(target);
        auto& self = *static_cast<WaylandWindow*>(wl_proxy_get_user_data(proxy));
        const std::string name = std::string(wl_proxy_get_class(proxy)) + "." + event->name;
        const auto fixed = [&](int i) { return wl_fixed_to_double(args[i].f); };
        if (name == "wl_registry.global")
            self.bind(args[0].u, args[1].s);
        else if (name == "xdg_wm_base.ping")
            xdg_wm_base_pong(self.shell, args[0].u);
        else if (name == "xdg_surface.configure")
            self.show(args[0].u);
        // A seat without input devices has no pointer until a virtual one is made.
        else if (name == "wl_seat.capabilities" && (args[0].u & WL_SEAT_CAPABILITY_POINTER) &&
                 !self.pointer)
            self.pointer = self.keep(wl_seat_get_pointer(self.seat));
        else if (name == "wl_pointer.enter")
            self.record("enter", fixed(2), fixed(3));
        else if (name == "wl_pointer.motion")
            self.record("motion", fixed(1), fixed(2));
        else if (name == "wl_pointer.button")
            self.record("button", args[2].u, args[3].u);
        else if (name == "wl_pointer.axis")
            self.record("axis", args[1].u, fixed(2));
        else if (name == "wl_pointer.axis_source")
            self.record("axis_source", args[0].u);
        else if (name == "wl_pointer.axis_stop")
            self.record("axis_stop", args[1].u);
        return 0;
    }

    void bind(std::uint32_t name, const char* interface) {
        const auto bind = [&]<class T>(T*& proxy, const wl_interface& type, std::uint32_t version) {
            if (!proxy && std::strcmp(interface, type.name) == 0)
                proxy = keep(static_cast<T*>(wl_registry_bind(registry, name, &type, version)));
        };
        bind(compositor, wl_compositor_interface, 4);
        bind(shm, wl_shm_interface, 1);
        bind(seat, wl_seat_interface, 5);
        bind(shell, xdg_wm_base_interface, 1);
    }

    void record(std::string kind, double a = 0, double b = 0) {
        if (kind == "enter" || kind == "motion")
            observer.x = a, observer.y = b;
        observer.events_.push_back({std::move(kind), a, b});
    }

    // The window fills the output; sway leaves its size to the client until it is mapped.
    void show(std::uint32_t serial) {
        xdg_surface_ack_configure(xdgSurface, serial);
        constexpr int width = HeadlessSway::width, height = HeadlessSway::height;
        const int fd = buffer ? -1 : memfd_create("tovali-observer", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, width * height * 4) != 0)
            return;
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, width * height * 4);
        buffer = keep(
            wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_XRGB8888));
        wl_shm_pool_destroy(pool);
        close(fd);
        wl_surface_attach(surface, buffer, 0, 0);
        wl_surface_commit(surface);
    }
};

WaylandObserver::WaylandObserver(const std::string& socket)
    : window_(new WaylandWindow{.observer = *this}) {
    WaylandWindow& window = *window_;
    window.display = wl_display_connect(socket.c_str());
    if (!window.display) {
        error_ = "cannot connect to " + socket;
        return;
    }
    window.registry = window.keep(wl_display_get_registry(window.display));
    wl_display_roundtrip(window.display);
    window.surface = window.keep(wl_compositor_create_surface(window.compositor));
    window.xdgSurface = window.keep(xdg_wm_base_get_xdg_surface(window.shell, window.surface));
    xdg_toplevel_set_fullscreen(window.keep(xdg_surface_get_toplevel(window.xdgSurface)), nullptr);
    wl_surface_commit(window.surface);
    for (int i = 0; i < 100 && !window.buffer; ++i)
        read(50);
    if (!window.buffer)
        error_ = "the compositor never configured the observer's window";
    // The window is mapped once the compositor has its first buffer.
    wl_display_roundtrip(window.display);
}

WaylandObserver::~WaylandObserver() = default;

void WaylandObserver::read(int timeoutMs) {
    wl_display* display = window_->display;
    if (!display || wl_display_dispatch_pending(display) != 0)
        return;
    wl_display_flush(display);
    pollfd readable{.fd = wl_display_get_fd(display), .events = POLLIN, .revents = 0};
    if (poll(&readable, 1, timeoutMs) > 0)
        wl_display_dispatch(display);
}

bool WaylandObserver::waitFor(const std::string& kind, std::size_t count, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (events({kind}).size() < count && std::chrono::steady_clock::now() < deadline)
        read(5);
    return events({kind}).size() >= count;
}

std::vector<WaylandObserver::Event>
WaylandObserver::events(const std::vector<std::string>& kinds) const {
    std::vector<Event> chosen;
    std::ranges::copy_if(events_, std::back_inserter(chosen), [&](const Event& event) {
        return std::ranges::find(kinds, event.kind) != kinds.end();
    });
    return chosen;
}

} // namespace tovali::test
