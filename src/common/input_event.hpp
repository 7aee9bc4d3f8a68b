#pragma once

#include <cstdint>
#include <optional>
#include <variant>

namespace tovali {

/// The two pointer buttons; the raw values are the button byte of a button packet.
enum class MouseButton : std::uint8_t { left = 0, right = 1 };

/// The raw values are the action byte of a button packet.
enum class ButtonAction : std::uint8_t { down = 0, up = 1, click = 2 };

std::optional<MouseButton> mouseButtonFromRaw(std::uint8_t raw);
std::optional<ButtonAction> buttonActionFromRaw(std::uint8_t raw);

/// Pointer motion in points: positive dx right, positive dy down.
struct MoveInput {
    std::int16_t dx = 0;
    std::int16_t dy = 0;
    friend bool operator==(const MoveInput&, const MoveInput&) = default;
};

/// Scroll distance in pixels, horizontal and vertical, with the watch's signs.
struct ScrollInput {
    std::int16_t dx = 0;
    std::int16_t dy = 0;
    friend bool operator==(const ScrollInput&, const ScrollInput&) = default;
};

struct ButtonInput {
    MouseButton button = MouseButton::left;
    ButtonAction action = ButtonAction::down;
    friend bool operator==(const ButtonInput&, const ButtonInput&) = default;
};

/// One decoded input from a watch.
using InputEvent = std::variant<MoveInput, ScrollInput, ButtonInput>;

} // namespace tovali
