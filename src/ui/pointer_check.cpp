#include "ui/pointer_check.hpp"

#include <QDBusConnection>

#include "platform/portal/portal_adapters.hpp"
#include "platform/wlroots/wlroots_connection.hpp"
#include "platform/x11/x11_accessibility.hpp"
#include "platform/x11/x11_connection.hpp"

namespace tovali {

namespace {

PointerCheck x11PointerCheck() {
    PointerCheck check{"X11 (XTest)", false, {}};
    const auto x11 = X11Connection::open();
    if (!x11) {
        check.advice = "Tovali cannot open the X display: run it inside your desktop session "
                       "(DISPLAY must be set), in an X11 session or under Xwayland.";
        return check;
    }
    check.allowed = X11Accessibility(*x11).isProcessTrusted();
    if (!check.allowed) {
        check.advice =
            x11->hasXTest()
                ? "This is Xwayland, whose XTest does not move the desktop's pointer: "
                  "log in to an X11 session, or use a desktop with the RemoteDesktop portal."
                : "The X server lacks the XTEST extension: enable it in the X "
                  "server's configuration, or use an X server that has it.";
    }
    return check;
}

} // namespace

PointerCheck pointerCheck(PointerChoice choice) {
    const bool wayland = SessionKind::fromEnvironment().wayland;
    const bool automatic = choice == PointerChoice::automatic;
    if ((choice == PointerChoice::wlroots || (automatic && wayland)) && WlrootsConnection::open())
        return {"the wlroots virtual pointer", true, {}};
    // Short, so that the whole diagnosis stays within a few seconds.
    if ((choice == PointerChoice::portal || (automatic && wayland)) &&
        portalOffersRemoteDesktop(QDBusConnection::sessionBus(), 800))
        return {"the RemoteDesktop portal (the desktop asks for the permission when Tovali starts)",
                true,
                {}};
    if (choice == PointerChoice::wlroots)
        return {"the wlroots virtual pointer", false,
                "The compositor does not offer the wlroots virtual pointer: start Tovali without "
                "--pointer=wlroots, or use a wlroots compositor such as sway."};
    if (choice == PointerChoice::portal)
        return {"the RemoteDesktop portal", false,
                "No RemoteDesktop portal answers on the session bus: install the "
                "xdg-desktop-portal backend of your desktop, or start Tovali without "
                "--pointer=portal."};
    PointerCheck check = x11PointerCheck();
    if (automatic && wayland && !check.allowed)
        check.advice = "This Wayland desktop offers neither the wlroots virtual pointer nor the "
                       "RemoteDesktop portal, and XTest cannot reach its pointer: log in to an "
                       "X11 session, or use a desktop with the RemoteDesktop portal.";
    return check;
}

} // namespace tovali
