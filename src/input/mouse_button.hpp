#pragma once

#include <array>
#include <cstdint>

#include "common/input_event.hpp"
#include "platform/event_poster.hpp"

namespace tovali {

inline constexpr std::array<MouseButton, 2> allMouseButtons{MouseButton::left, MouseButton::right};

/// The platform's number for a button in its mouse events.
constexpr std::uint8_t platformButtonNumber(MouseButton button) {
    return button == MouseButton::left ? 0 : 1;
}

constexpr MouseEventType pressEventType(MouseButton button) {
    return button == MouseButton::left ? MouseEventType::leftMouseDown
                                       : MouseEventType::rightMouseDown;
}

constexpr MouseEventType releaseEventType(MouseButton button) {
    return button == MouseButton::left ? MouseEventType::leftMouseUp : MouseEventType::rightMouseUp;
}

constexpr MouseEventType dragEventType(MouseButton button) {
    return button == MouseButton::left ? MouseEventType::leftMouseDragged
                                       : MouseEventType::rightMouseDragged;
}

/// A set of buttons; with two buttons a bit mask serves and never allocates.
class MouseButtonSet {
public:
    bool contains(MouseButton button) const { return (bits_ & bit(button)) != 0; }
    bool empty() const { return bits_ == 0; }
    void insert(MouseButton button) { bits_ = static_cast<std::uint8_t>(bits_ | bit(button)); }
    /// Returns whether the button was in the set.
    bool erase(MouseButton button) {
        const bool present = contains(button);
        bits_ = static_cast<std::uint8_t>(bits_ & ~bit(button));
        return present;
    }
    friend bool operator==(const MouseButtonSet&, const MouseButtonSet&) = default;

private:
    static constexpr std::uint8_t bit(MouseButton button) {
        return static_cast<std::uint8_t>(1U << static_cast<unsigned>(button));
    }
    std::uint8_t bits_ = 0;
};

} // namespace tovali
