#pragma once

#include <string>

namespace tovali {

/// How pointer events reach the desktop, and whether they may, for the diagnosis.
struct PointerCheck {
    std::string name;
    bool allowed = false;
    /// What to do when they may not.
    std::string advice;
};

/// XTest on the X server in $DISPLAY.
PointerCheck x11PointerCheck();

} // namespace tovali
