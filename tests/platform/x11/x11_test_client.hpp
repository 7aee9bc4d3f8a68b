#pragma once

// Xlib for the tests' own clients, in a header of its own so that it is included after gtest:
// Xlib's None macro breaks gtest's headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <memory>
#include <string>
#include <vector>

namespace tovali::test {

struct CloseDisplay {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using XClient = std::unique_ptr<Display, CloseDisplay>;

inline XClient openClient(const std::string& displayName) {
    return XClient(XOpenDisplay(displayName.c_str()));
}

struct PointerState {
    int x = 0;
    int y = 0;
    unsigned mask = 0;
};

/// Where the server's pointer is and which buttons are down, as this client sees them.
inline PointerState queryPointer(Display* display) {
    Window root = 0;
    Window child = 0;
    PointerState state;
    int windowX = 0;
    int windowY = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &state.x, &state.y, &windowX,
                  &windowY, &state.mask);
    return state;
}

// A second client with a full-screen window that records the buttons pressed (+n) and released
// (-n) over it. Xvfb runs no window manager, so the window is mapped exactly where asked.
class ButtonObserver {
public:
    ButtonObserver(const std::string& displayName, int width, int height)
        : display_(openClient(displayName)) {
        if (!display_)
            return;
        window_ = XCreateSimpleWindow(display_.get(), DefaultRootWindow(display_.get()), 0, 0,
                                      static_cast<unsigned>(width), static_cast<unsigned>(height),
                                      0, 0, 0);
        XSelectInput(display_.get(), window_, ButtonPressMask | ButtonReleaseMask);
        XMapWindow(display_.get(), window_);
        XSync(display_.get(), False);
    }
    bool ready() const { return display_ != nullptr; }

    // Everything since the last call; the events posted before it must have been processed.
    std::vector<int> takeEvents() {
        XSync(display_.get(), False);
        std::vector<int> events;
        while (XPending(display_.get()) > 0) {
            XEvent event;
            XNextEvent(display_.get(), &event);
            if (event.type == ButtonPress)
                events.push_back(static_cast<int>(event.xbutton.button));
            else if (event.type == ButtonRelease)
                events.push_back(-static_cast<int>(event.xbutton.button));
        }
        return events;
    }

private:
    XClient display_;
    Window window_ = 0;
};

} // namespace tovali::test
