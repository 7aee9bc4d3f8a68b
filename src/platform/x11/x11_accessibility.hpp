#pragma once

#include "platform/accessibility.hpp"

namespace tovali {

class X11Connection;

/// X11 lets every client of the server post input through XTest: there is no permission to
/// ask for. Xwayland is the exception: its XTest moves only its own pointer, not the desktop's,
/// so events posted there cannot be trusted to arrive, and only another session helps. Neither
/// can change while the connection lasts, so the answer is found once.
class X11Accessibility final : public Accessibility {
public:
    explicit X11Accessibility(X11Connection& connection);

    bool isProcessTrusted() override { return trusted_; }
    void promptForPermission() override {}
    PermissionRemedy remedy() override { return PermissionRemedy::changeSession; }

private:
    bool trusted_;
};

} // namespace tovali
