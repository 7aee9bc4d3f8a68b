#pragma once

#include <span>

#include "common/geometry.hpp"

namespace tovali {

/// The active displays of the desktop.
class Displays {
public:
    virtual ~Displays() = default;

    /// Each active display's bounds in the global display space, in the platform's order. The
    /// view stays valid until the next call.
    virtual std::span<const Rect> activeDisplayBounds() = 0;
};

} // namespace tovali
