#include "platform/x11/x11_window_hints.hpp"

#include <QGuiApplication>
#include <QWindow>
#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

// Last: Xlib.h defines macros (None, Bool, Status) that break Qt headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tovali {
namespace {

constexpr unsigned long allDesktops = 0xFFFFFFFFUL;

// EWMH: how a client asks for a change to a mapped window's _NET_WM_STATE.
constexpr long netWmStateAdd = 1;
// EWMH: the request comes from an ordinary application.
constexpr long sourceApplication = 1;

Atom atom(Display* display, const char* name) {
    return XInternAtom(display, name, False);
}

/// The atoms the window's _NET_WM_STATE holds now.
std::vector<Atom> netWmState(Display* display, Window window, Atom property) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    std::vector<Atom> atoms;
    if (XGetWindowProperty(display, window, property, 0, 1024, False, XA_ATOM, &type, &format,
                           &count, &remaining, &data) == Success &&
        data != nullptr) {
        if (type == XA_ATOM && format == 32) {
            // Format 32 properties come back as an array of longs.
            const auto* values = reinterpret_cast<const Atom*>(static_cast<void*>(data));
            atoms.assign(values, values + count);
        }
        XFree(data);
    }
    return atoms;
}

/// Sets the properties that the window manager reads when the window is mapped.
void setBeforeMap(Display* display, Window window, const std::array<Atom, 2>& wanted) {
    const unsigned long desktop = allDesktops;
    XChangeProperty(display, window, atom(display, "_NET_WM_DESKTOP"), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&desktop), 1);

    const Atom stateProperty = atom(display, "_NET_WM_STATE");
    std::vector<Atom> states = netWmState(display, window, stateProperty);
    for (Atom state : wanted) {
        if (std::find(states.begin(), states.end(), state) == states.end())
            states.push_back(state);
    }
    XChangeProperty(display, window, stateProperty, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(states.data()),
                    static_cast<int>(states.size()));
}

void sendToRoot(Display* display, Window window, Atom messageType,
                const std::array<long, 5>& data) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.serial = 0;
    event.xclient.send_event = True;
    event.xclient.display = display;
    event.xclient.window = window;
    event.xclient.message_type = messageType;
    event.xclient.format = 32;
    for (std::size_t i = 0; i < data.size(); ++i)
        event.xclient.data.l[i] = data[i];
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

/// Asks the window manager, as EWMH says a client does for a mapped window.
void askWindowManager(Display* display, Window window, const std::array<Atom, 2>& wanted) {
    sendToRoot(display, window, atom(display, "_NET_WM_DESKTOP"),
               {static_cast<long>(allDesktops), sourceApplication, 0, 0, 0});
    sendToRoot(display, window, atom(display, "_NET_WM_STATE"),
               {netWmStateAdd, static_cast<long>(wanted[0]), static_cast<long>(wanted[1]),
                sourceApplication, 0});
}

} // namespace

void showOnEveryWorkspace(QWindow& window) {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 != nullptr ? x11->display() : nullptr;
    if (display == nullptr)
        return;

    const auto id = static_cast<Window>(window.winId());
    const std::array<Atom, 2> wanted{atom(display, "_NET_WM_STATE_STICKY"),
                                     atom(display, "_NET_WM_STATE_ABOVE")};
    if (window.isVisible())
        askWindowManager(display, id, wanted);
    else
        setBeforeMap(display, id, wanted);
    XFlush(display);
}

} // namespace tovali
