#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tovali {

class Accessibility;
class Defaults;
class Displays;
class EventPoster;
class SystemLog;

/// How pointer events reach the desktop, as the user may force it.
enum class PointerChoice : std::uint8_t { automatic, x11, wlroots, portal };

std::optional<PointerChoice> pointerChoice(std::string_view name);

/// One way to the desktop's pointer: the adapters of the three pointer ports, owned together.
class PointerRoute {
public:
    virtual ~PointerRoute() = default;
    /// For the log: which route, and on what.
    virtual std::string description() = 0;
    virtual EventPoster& events() = 0;
    virtual Displays& displays() = 0;
    virtual Accessibility& accessibility() = 0;
};

/// What a route may need from the application.
struct RouteContext {
    Defaults& defaults;
    SystemLog& log;
    /// The desktop's double-click interval in seconds.
    double doubleClickInterval;
};

/// The session Tovali runs in, from its environment.
struct SessionKind {
    bool wayland = false;
    static SessionKind fromEnvironment();
};

/// The routes that can be tried, each null when it is not available here. Tests replace them.
struct RouteMakers {
    std::function<std::unique_ptr<PointerRoute>(const RouteContext&)> x11;
    std::function<std::unique_ptr<PointerRoute>(const RouteContext&)> wlroots;
    std::function<std::unique_ptr<PointerRoute>(const RouteContext&)> portal;
    static RouteMakers real();
};

/// On X11, XTest. On Wayland, the wlroots virtual pointer where the compositor offers it, else
/// the RemoteDesktop portal where it answers, else XTest on Xwayland, whose permission then
/// shows as missing. A forced choice is tried alone. Null when nothing works.
std::unique_ptr<PointerRoute> choosePointerRoute(PointerChoice choice, SessionKind session,
                                                 const RouteMakers& makers,
                                                 const RouteContext& context);

/// The RemoteDesktop portal's route, or null while the portal does not answer.
std::unique_ptr<PointerRoute> makePortalRoute(const RouteContext& context);

} // namespace tovali
