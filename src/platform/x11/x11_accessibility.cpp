#include "platform/x11/x11_accessibility.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <string_view>

#include "platform/x11/x11_connection.hpp"

namespace tovali {

namespace {

bool hasXwaylandOutput(Display* display) {
    int major = 0;
    int minor = 0;
    // GetScreenResourcesCurrent needs RandR 1.3; unlike the plain call it never probes the
    // hardware, which can take seconds.
    if (!XRRQueryVersion(display, &major, &minor) || major < 1 || (major == 1 && minor < 3))
        return false;
    XRRScreenResources* resources =
        XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
    if (resources == nullptr)
        return false;
    bool found = false;
    for (int i = 0; i < resources->noutput && !found; ++i) {
        XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (output == nullptr)
            continue;
        found = std::string_view(output->name, static_cast<std::size_t>(output->nameLen))
                    .starts_with("XWAYLAND");
        XRRFreeOutputInfo(output);
    }
    XRRFreeScreenResources(resources);
    return found;
}

// Xwayland 23.1 and later announce themselves with an extension; older ones only by the names
// of their outputs.
bool isXwayland(X11Connection& connection) {
    Display* display = connection.display();
    int opcode = 0;
    int eventBase = 0;
    int errorBase = 0;
    if (XQueryExtension(display, "XWAYLAND", &opcode, &eventBase, &errorBase))
        return true;
    return connection.randrEventBase() && hasXwaylandOutput(display);
}

} // namespace

X11Accessibility::X11Accessibility(X11Connection& connection)
    : trusted_(connection.hasXTest() && !isXwayland(connection)) {}

} // namespace tovali
