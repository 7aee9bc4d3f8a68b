#include "common/input_event.hpp"

namespace tovali {

std::optional<MouseButton> mouseButtonFromRaw(std::uint8_t raw) {
    switch (raw) {
    case 0:
        return MouseButton::left;
    case 1:
        return MouseButton::right;
    default:
        return std::nullopt;
    }
}

std::optional<ButtonAction> buttonActionFromRaw(std::uint8_t raw) {
    switch (raw) {
    case 0:
        return ButtonAction::down;
    case 1:
        return ButtonAction::up;
    case 2:
        return ButtonAction::click;
    default:
        return std::nullopt;
    }
}

} // namespace tovali
