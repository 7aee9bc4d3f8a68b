#include "ui/pointer_route.hpp"

#include <cstdlib>

#include "platform/qt/qt_displays.hpp"
#include "platform/wlroots/wlroots_connection.hpp"
#include "platform/wlroots/wlroots_event_poster.hpp"
#include "platform/x11/x11_accessibility.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_displays.hpp"
#include "platform/x11/x11_event_poster.hpp"

namespace tovali {
namespace {

class X11Route final : public PointerRoute {
public:
    X11Route(std::unique_ptr<X11Connection> connection, double doubleClickInterval)
        : connection_(std::move(connection)), events_(*connection_, doubleClickInterval),
          displays_(*connection_), accessibility_(*connection_) {}

    std::string description() override {
        return accessibility_.isProcessTrusted()
                   ? "XTest on X11"
                   : "XTest, which cannot reach the desktop's pointer here (Xwayland)";
    }
    EventPoster& events() override { return events_; }
    Displays& displays() override { return displays_; }
    Accessibility& accessibility() override { return accessibility_; }

private:
    std::unique_ptr<X11Connection> connection_;
    X11EventPoster events_;
    X11Displays displays_;
    X11Accessibility accessibility_;
};

class WlrootsRoute final : public PointerRoute {
public:
    WlrootsRoute(std::unique_ptr<WlrootsConnection> connection, double doubleClickInterval)
        : connection_(std::move(connection)), events_(*connection_, displays_, doubleClickInterval),
          accessibility_(*connection_) {}

    std::string description() override { return "the wlroots virtual pointer"; }
    EventPoster& events() override { return events_; }
    Displays& displays() override { return displays_; }
    Accessibility& accessibility() override { return accessibility_; }

private:
    std::unique_ptr<WlrootsConnection> connection_;
    QtDisplays displays_;
    WlrootsEventPoster events_;
    WlrootsAccessibility accessibility_;
};

} // namespace

std::optional<PointerChoice> pointerChoice(std::string_view name) {
    if (name == "auto")
        return PointerChoice::automatic;
    if (name == "x11")
        return PointerChoice::x11;
    if (name == "wlroots")
        return PointerChoice::wlroots;
    if (name == "portal")
        return PointerChoice::portal;
    return std::nullopt;
}

SessionKind SessionKind::fromEnvironment() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return {.wayland = wayland != nullptr && *wayland != '\0' &&
                       (type == nullptr || std::string_view(type) != "x11")};
}

RouteMakers RouteMakers::real() {
    return {
        .x11 = [](const RouteContext& context) -> std::unique_ptr<PointerRoute> {
            auto connection = X11Connection::open();
            if (!connection)
                return nullptr;
            return std::make_unique<X11Route>(std::move(connection), context.doubleClickInterval);
        },
        .wlroots = [](const RouteContext& context) -> std::unique_ptr<PointerRoute> {
            auto connection = WlrootsConnection::open();
            if (!connection)
                return nullptr;
            return std::make_unique<WlrootsRoute>(std::move(connection),
                                                  context.doubleClickInterval);
        },
        .portal = makePortalRoute,
    };
}

std::unique_ptr<PointerRoute> choosePointerRoute(PointerChoice choice, SessionKind session,
                                                 const RouteMakers& makers,
                                                 const RouteContext& context) {
    switch (choice) {
    case PointerChoice::x11:
        return makers.x11(context);
    case PointerChoice::wlroots:
        return makers.wlroots(context);
    case PointerChoice::portal:
        return makers.portal(context);
    case PointerChoice::automatic:
        break;
    }
    if (session.wayland) {
        for (const auto* maker : {&makers.wlroots, &makers.portal}) {
            if (auto route = (*maker)(context))
                return route;
        }
    }
    return makers.x11(context);
}

} // namespace tovali
