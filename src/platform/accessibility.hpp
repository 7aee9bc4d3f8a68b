#pragma once

#include <cstdint>

namespace tovali {

/// What would give this process the pointer while it may not post events, which decides what
/// the user is told and whether a button can help.
enum class PermissionRemedy : std::uint8_t {
    /// The desktop asks the user itself, in its own dialog, whenever it is asked to.
    askDesktop,
    /// Nothing here can help: only the X server's own windows get the events, so the user needs
    /// another session or another desktop.
    changeSession,
    /// The desktop's pointer stopped answering; it is used again as soon as it is back.
    waitForDesktop,
};

/// The user's permission for this process to post input events.
class Accessibility {
public:
    virtual ~Accessibility() = default;

    /// May this process post pointer events now. Cheap enough to poll.
    virtual bool isProcessTrusted() = 0;
    /// Asks the desktop to ask the user, where it can (remedy `askDesktop`); else nothing.
    virtual void promptForPermission() = 0;
    /// Meaningful while the permission is missing.
    virtual PermissionRemedy remedy() = 0;
};

} // namespace tovali
