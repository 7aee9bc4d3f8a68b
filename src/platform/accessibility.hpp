#pragma once

namespace tovali {

/// The user's permission for this process to post input events.
class Accessibility {
public:
    virtual ~Accessibility() = default;

    /// May this process post pointer events now. Cheap enough to poll.
    virtual bool isProcessTrusted() = 0;
};

} // namespace tovali
