#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Xlib's connection type, declared rather than included: Xlib.h defines macros (None, Bool,
// Status) that break Qt code including this header.
struct _XDisplay;

namespace tovali {

/// One connection to an X server, shared by the X11 adapters. Use it from one thread.
class X11Connection {
public:
    /// Connects to the named display, or to $DISPLAY without a name; null when that fails.
    static std::unique_ptr<X11Connection> open(const std::optional<std::string>& name = {});

    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    /// The Xlib handle (a Display*), for the adapters.
    _XDisplay* display() const { return display_; }
    bool hasXTest() const { return hasXTest_; }
    /// RandR 1.5 or later: the server lists monitors.
    bool hasRandrMonitors() const { return hasRandrMonitors_; }
    /// The first RandR event code, when the server has RandR at all.
    std::optional<int> randrEventBase() const { return randrEventBase_; }
    /// Protocol errors the server sent on this connection. Xlib's default handler would end the
    /// process on the first one; here they are only counted.
    std::uint64_t errorCount() const { return errorCount_; }

private:
    explicit X11Connection(_XDisplay* display);

    _XDisplay* display_;
    bool hasXTest_ = false;
    bool hasRandrMonitors_ = false;
    std::optional<int> randrEventBase_;
    std::uint64_t errorCount_ = 0;
};

} // namespace tovali
