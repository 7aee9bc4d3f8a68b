#include "ui/texts.hpp"

namespace tovali {

PermissionTexts permissionTexts(PermissionRemedy remedy) {
    const QString title = Texts::tr("Allow Tovali to control this computer");
    switch (remedy) {
    case PermissionRemedy::askDesktop:
        return {
            title,
            Texts::tr("“%1” is connected, but the desktop won’t let Tovali move the pointer until "
                      "you allow remote interaction in the dialog it shows. If you closed it, ask "
                      "again."),
            Texts::tr("Allow remote interaction for Tovali when the desktop asks, so your watch "
                      "can move the pointer and click."),
            Texts::tr("Ask Again"),
        };
    case PermissionRemedy::changeSession:
        return {
            title,
            Texts::tr("“%1” is connected, but this desktop won’t let Tovali move the pointer. Log "
                      "in to an X11 session or use a desktop with the RemoteDesktop portal."),
            Texts::tr("Log in to an X11 session or use a desktop with the RemoteDesktop portal, so "
                      "your watch can move the pointer and click."),
            {},
        };
    case PermissionRemedy::waitForDesktop:
        break;
    }
    return {
        title,
        Texts::tr("“%1” is connected, but the pointer cannot be moved: the desktop stopped "
                  "answering. Tovali moves it again as soon as the desktop is back."),
        Texts::tr("The pointer cannot be moved: the desktop stopped answering. Your watch moves "
                  "it again as soon as the desktop is back."),
        {},
    };
}

} // namespace tovali
