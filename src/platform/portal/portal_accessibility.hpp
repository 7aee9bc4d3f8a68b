#pragma once

#include "platform/accessibility.hpp"

namespace tovali {

class PortalSession;

/// The permission is the session itself: allowed while a started session holds the pointer.
/// Asking starts a session, and the desktop shows its own dialog; there is no settings page to
/// open, because the user answers in that dialog.
class PortalAccessibility final : public Accessibility {
public:
    explicit PortalAccessibility(PortalSession& session) : session_(session) {}

    bool isProcessTrusted() override;
    void promptForPermission() override;
    PermissionRemedy remedy() override { return PermissionRemedy::askDesktop; }

private:
    PortalSession& session_;
};

} // namespace tovali
