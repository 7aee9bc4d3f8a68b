#include "input/input_engine.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace tovali {

namespace {

// The engine keeps its own fractional position while the system's pointer stays this close.
constexpr double referenceAgreement = 2.0;
// A late frame releases no more than this share of time; a first frame at least this much.
constexpr double longestFrame = 0.05;
constexpr double shortestFirstFrame = 1.0 / 120.0;

// A display that cannot hold a point one in from its far edges would let clamping escape it.
bool canHoldPoint(const Rect& r) {
    return r.width >= 1.0 && r.height >= 1.0;
}

} // namespace

InputEngine::InputEngine(EventPoster& poster, Displays& displays, MainLoop& loop)
    : poster_(poster), displays_(displays),
      loop_(loop), clicks_{poster.doubleClickInterval(), clickSlop, std::nullopt} {}

void InputEngine::handleInput(const InputEvent& event) {
    lastInput_ = loop_.uptime();
    std::visit(
        [this](const auto& input) {
            using Input = std::decay_t<decltype(input)>;
            if constexpr (std::is_same_v<Input, MoveInput>) {
                pointer_.addMotion(input.dx, input.dy);
                ensureFrameLoop();
            } else if constexpr (std::is_same_v<Input, ScrollInput>) {
                scroll_.addMotion(input.dx, input.dy);
                ensureFrameLoop();
            } else {
                // A press lands where the pointer was meant to be, so pending motion goes first.
                const Motion pending{pointer_.pendingX, pointer_.pendingY};
                pointer_.pendingX = 0.0;
                pointer_.pendingY = 0.0;
                movePointer(pending.x, pending.y);
                switch (input.action) {
                case ButtonAction::down:
                    press(input.button);
                    break;
                case ButtonAction::up:
                    release(input.button);
                    break;
                case ButtonAction::click:
                    press(input.button);
                    release(input.button);
                    break;
                }
            }
        },
        event);
}

void InputEngine::ensureFrameLoop() {
    if (!displayLink_) {
        displayLink_ = loop_.makeDisplayLink([this](DisplayLink& link) { frame(link); });
    }
    if (displayLink_) {
        displayLink_->setPaused(false);
    }
}

void InputEngine::frame(DisplayLink& link) {
    const double now = link.timestamp();
    const double dt = lastFrame_ ? std::min(now - *lastFrame_, longestFrame)
                                 : std::max(link.duration(), shortestFirstFrame);
    lastFrame_ = now;

    const Motion move = pointer_.step(dt);
    movePointer(move.x, move.y);

    const Motion scrolled = scroll_.step(dt);
    const WholePixels whole = scrollPixels_.extractWhole(scrolled.x, scrolled.y);
    if (whole.x != 0 || whole.y != 0) {
        poster_.postScrollEvent({.vertical = whole.y, .horizontal = whole.x, .continuous = true});
        scrolling_ = true;
    }
    if (scrolling_ && scroll_.isIdle()) {
        scrolling_ = false;
        poster_.endScroll();
    }

    // Sub-pixel scroll remainders stay in the accumulator across the pause.
    if (pointer_.isIdle() && scroll_.isIdle()) {
        link.setPaused(true);
        lastFrame_.reset();
    }
}

Point InputEngine::referenceLocation() {
    const Point current = poster_.pointerLocation().value_or(Point{});
    if (position_ && std::abs(position_->x - current.x) < referenceAgreement &&
        std::abs(position_->y - current.y) < referenceAgreement) {
        return *position_;
    }
    return current;
}

void InputEngine::movePointer(double dx, double dy) {
    if (dx == 0.0 && dy == 0.0) {
        return;
    }
    const Point base = referenceLocation();
    const Point target = clampToDisplays({base.x + dx, base.y + dy}, base);
    position_ = target;

    MouseEvent event{.type = MouseEventType::mouseMoved, .location = target};
    if (held_.contains(MouseButton::left)) {
        event.type = dragEventType(MouseButton::left);
        event.button = platformButtonNumber(MouseButton::left);
    } else if (held_.contains(MouseButton::right)) {
        event.type = dragEventType(MouseButton::right);
        event.button = platformButtonNumber(MouseButton::right);
    }
    // The movement actually made, after clamping; llround rounds halves away from zero.
    event.deltaX = std::llround(target.x - base.x);
    event.deltaY = std::llround(target.y - base.y);
    poster_.postMouseEvent(event);
}

Point InputEngine::clampToDisplays(Point target, Point base) {
    const Rect* picked = nullptr;
    const Rect* holdsBase = nullptr;
    for (const Rect& display : displays_.activeDisplayBounds()) {
        if (!canHoldPoint(display)) {
            continue;
        }
        if (display.contains(target)) {
            return target;
        }
        if (!picked) {
            picked = &display;
        }
        if (!holdsBase && display.contains(base)) {
            holdsBase = &display;
        }
    }
    if (holdsBase) {
        picked = holdsBase;
    }
    if (!picked) {
        return target;
    }
    // The departure display keeps the pointer, one point in from its far edges.
    return {std::min(std::max(target.x, picked->minX()), picked->maxX() - 1.0),
            std::min(std::max(target.y, picked->minY()), picked->maxY() - 1.0)};
}

void InputEngine::press(MouseButton button) {
    const Point location = referenceLocation();
    clickCount_ = clicks_.registerPress(loop_.uptime(), location, button);
    held_.insert(button);
    poster_.postMouseEvent({.type = pressEventType(button),
                            .location = location,
                            .button = platformButtonNumber(button),
                            .clickState = clickCount_});
    rescheduleSafetyTimer();
}

void InputEngine::release(MouseButton button) {
    const Point location = referenceLocation();
    if (!held_.erase(button)) {
        return;
    }
    postRelease(button, location);
    rescheduleSafetyTimer();
}

void InputEngine::releaseAll() {
    const MouseButtonSet snapshot = held_;
    for (MouseButton button : allMouseButtons) {
        if (!snapshot.contains(button)) {
            continue;
        }
        const Point location = referenceLocation();
        if (!held_.erase(button)) {
            continue;
        }
        postRelease(button, location);
        rescheduleSafetyTimer();
    }
}

void InputEngine::postRelease(MouseButton button, Point location) {
    // The click state of the latest press, whichever button it was.
    poster_.postMouseEvent({.type = releaseEventType(button),
                            .location = location,
                            .button = platformButtonNumber(button),
                            .clickState = clickCount_});
}

void InputEngine::rescheduleSafetyTimer() {
    releaseTimer_.reset();
    if (held_.empty()) {
        return;
    }
    releaseTimer_ = loop_.runEvery(safetyCheckInterval, [this] {
        if (loop_.uptime() - lastInput_ > idleReleaseAfter) {
            releaseAll();
        }
    });
}

} // namespace tovali
