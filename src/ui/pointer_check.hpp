#pragma once

#include <string>

#include "ui/pointer_route.hpp"

namespace tovali {

/// How pointer events reach the desktop, and whether they may, for the diagnosis.
struct PointerCheck {
    std::string name;
    bool allowed = false;
    /// What to do when they may not.
    std::string advice;
};

/// The route that `choice` would give, found as the application finds it at start, without
/// starting a portal session (that would show the desktop's dialog).
PointerCheck pointerCheck(PointerChoice choice);

} // namespace tovali
