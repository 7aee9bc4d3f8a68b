#pragma once

#include <vector>

#include "platform/displays.hpp"

namespace tovali {

/// The screens Qt knows, in logical pixels: for desktops whose layout no X server describes,
/// where Qt learns it from the compositor.
class QtDisplays final : public Displays {
public:
    std::span<const Rect> activeDisplayBounds() override;

private:
    std::vector<Rect> bounds_;
};

} // namespace tovali
