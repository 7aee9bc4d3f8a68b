#pragma once

#include <cstdint>
#include <optional>

#include "common/geometry.hpp"

namespace tovali {

/// The kinds of synthetic mouse event, numbered as the platform's event types.
enum class MouseEventType : std::uint8_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
};

/// What an event of this type does to a button, for adapters that post presses and releases.
struct ButtonChange {
    bool left = true;
    bool press = false;
};

constexpr std::optional<ButtonChange> buttonChange(MouseEventType type) {
    switch (type) {
    case MouseEventType::leftMouseDown:
        return ButtonChange{.left = true, .press = true};
    case MouseEventType::leftMouseUp:
        return ButtonChange{.left = true, .press = false};
    case MouseEventType::rightMouseDown:
        return ButtonChange{.left = false, .press = true};
    case MouseEventType::rightMouseUp:
        return ButtonChange{.left = false, .press = false};
    default:
        return std::nullopt;
    }
}

constexpr bool isMotion(MouseEventType type) {
    return type == MouseEventType::mouseMoved || type == MouseEventType::leftMouseDragged ||
           type == MouseEventType::rightMouseDragged;
}

struct MouseEvent {
    MouseEventType type = MouseEventType::mouseMoved;
    Point location;
    /// The platform's button number: 0 left, 1 right.
    std::uint8_t button = 0;
    /// 1 for a single click, 2 for a double click, and so on.
    std::int64_t clickState = 0;
    /// The movement made by this event, in whole points.
    std::int64_t deltaX = 0;
    std::int64_t deltaY = 0;
    friend bool operator==(const MouseEvent&, const MouseEvent&) = default;
};

/// A scroll by whole pixels; signs as the platform gives them (positive vertical scrolls up,
/// positive horizontal scrolls left).
struct ScrollEvent {
    std::int32_t vertical = 0;
    std::int32_t horizontal = 0;
    /// Set for scrolling that comes from a continuous device rather than a notched wheel.
    bool continuous = false;
    friend bool operator==(const ScrollEvent&, const ScrollEvent&) = default;
};

/// Posts synthetic pointer events to the whole desktop. An event the platform cannot make is
/// dropped silently: posting has no result.
class EventPoster {
public:
    virtual ~EventPoster() = default;

    /// Where the system's pointer is now, or nothing when it cannot tell.
    virtual std::optional<Point> pointerLocation() = 0;
    virtual void postMouseEvent(const MouseEvent& event) = 0;
    virtual void postScrollEvent(const ScrollEvent& event) = 0;
    /// The scrolling that the scroll events since the last call belong to has come to rest, for
    /// desktops that start kinetic scrolling or end a gesture there.
    virtual void endScroll() {}
    /// The user's double-click interval in seconds.
    virtual double doubleClickInterval() const = 0;
};

} // namespace tovali
