#include "ui/pointer_check.hpp"

#include "platform/x11/x11_accessibility.hpp"
#include "platform/x11/x11_connection.hpp"

namespace tovali {

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
        check.advice = x11->hasXTest()
                           ? "This is Xwayland, whose XTest does not move the desktop's pointer: "
                             "log in to an X11 session (\u201cGNOME on Xorg\u201d, for one)."
                           : "The X server lacks the XTEST extension: enable it in the X "
                             "server's configuration, or use an X server that has it.";
    }
    return check;
}

} // namespace tovali
