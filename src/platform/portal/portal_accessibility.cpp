#include "platform/portal/portal_accessibility.hpp"

#include "platform/portal/portal_session.hpp"

namespace tovali {

bool PortalAccessibility::isProcessTrusted() {
    return session_.holdsPointer();
}

void PortalAccessibility::promptForPermission() {
    session_.start();
}

} // namespace tovali
