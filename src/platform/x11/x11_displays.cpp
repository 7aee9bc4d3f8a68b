#include "platform/x11/x11_displays.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "platform/x11/x11_connection.hpp"

namespace tovali {

X11Displays::X11Displays(X11Connection& connection) : connection_(connection) {
    Display* display = connection_.display();
    Window root = DefaultRootWindow(display);
    // Monitors that clients define (RRSetMonitor) are announced only by a ConfigureNotify on the
    // root, not by any RandR event, so the root's structure events are needed as well.
    XWindowAttributes attributes{};
    long mask = XGetWindowAttributes(display, root, &attributes) ? attributes.your_event_mask : 0;
    XSelectInput(display, root, mask | StructureNotifyMask);
    if (connection_.randrEventBase())
        XRRSelectInput(display, root,
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask |
                           RROutputChangeNotifyMask);
    XFlush(display);
}

std::span<const Rect> X11Displays::activeDisplayBounds() {
    readNotifications();
    if (stale_)
        refresh();
    return bounds_;
}

void X11Displays::readNotifications() {
    Display* display = connection_.display();
    auto randrBase = connection_.randrEventBase();
    // XPending reads what has arrived without waiting for the server.
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        bool screenChanged = event.type == ConfigureNotify ||
                             (randrBase && event.type == *randrBase + RRScreenChangeNotify);
        if (screenChanged)
            XRRUpdateConfiguration(&event); // keeps Xlib's idea of the screen size current
        if (screenChanged || (randrBase && event.type == *randrBase + RRNotify))
            stale_ = true;
    }
}

void X11Displays::refresh() {
    Display* display = connection_.display();
    bounds_.clear();
    if (connection_.hasRandrMonitors()) {
        int count = 0;
        XRRMonitorInfo* monitors =
            XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
        for (int i = 0; i < count; ++i) {
            const XRRMonitorInfo& monitor = monitors[i];
            if (monitor.width > 0 && monitor.height > 0)
                bounds_.push_back(
                    Rect{static_cast<double>(monitor.x), static_cast<double>(monitor.y),
                         static_cast<double>(monitor.width), static_cast<double>(monitor.height)});
        }
        if (monitors)
            XRRFreeMonitors(monitors);
    }
    if (bounds_.empty()) {
        int screen = DefaultScreen(display);
        bounds_.push_back(Rect{0.0, 0.0, static_cast<double>(DisplayWidth(display, screen)),
                               static_cast<double>(DisplayHeight(display, screen))});
    }
    stale_ = false;
}

} // namespace tovali
