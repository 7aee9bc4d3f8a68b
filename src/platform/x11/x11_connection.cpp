#include "platform/x11/x11_connection.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <algorithm>
#include <utility>
#include <vector>

namespace tovali {
namespace {

// Xlib has one error handler per process: ours counts errors on our connections and hands the
// others to the handler it replaced, so other Xlib users keep their behaviour. All X calls run
// on the one main thread, so the registry needs no lock.
struct ErrorRegistry {
    std::vector<std::pair<Display*, std::uint64_t*>> counters;
    XErrorHandler previous = nullptr;
    bool installed = false;
};

ErrorRegistry& errorRegistry() {
    static ErrorRegistry registry;
    return registry;
}

int countError(Display* display, XErrorEvent* error) {
    auto& registry = errorRegistry();
    for (auto& [known, counter] : registry.counters) {
        if (known == display) {
            ++*counter;
            return 0;
        }
    }
    return registry.previous ? registry.previous(display, error) : 0;
}

void watchErrors(Display* display, std::uint64_t* counter) {
    auto& registry = errorRegistry();
    if (!registry.installed) {
        registry.previous = XSetErrorHandler(countError);
        registry.installed = true;
    }
    registry.counters.emplace_back(display, counter);
}

void unwatchErrors(Display* display) {
    auto& registry = errorRegistry();
    std::erase_if(registry.counters, [&](const auto& entry) { return entry.first == display; });
}

} // namespace

std::unique_ptr<X11Connection> X11Connection::open(const std::optional<std::string>& name) {
    Display* display = XOpenDisplay(name ? name->c_str() : nullptr);
    if (!display)
        return nullptr;
    return std::unique_ptr<X11Connection>(new X11Connection(display));
}

X11Connection::X11Connection(Display* display) : display_(display) {
    watchErrors(display_, &errorCount_);

    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    hasXTest_ = XTestQueryExtension(display_, &eventBase, &errorBase, &major, &minor);
    if (XRRQueryExtension(display_, &eventBase, &errorBase)) {
        randrEventBase_ = eventBase;
        hasRandrMonitors_ =
            XRRQueryVersion(display_, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
    }
}

X11Connection::~X11Connection() {
    // Closing syncs, so errors still in flight arrive here and must still be ours.
    XCloseDisplay(display_);
    unwatchErrors(display_);
}

} // namespace tovali
