#include "platform/wlroots/wlroots_event_poster.hpp"

#include <QTimer>
#include <chrono>
#include <cmath>
#include <linux/input-event-codes.h>
#include <wayland-client.h>

#include "platform/wlroots/wlroots_connection.hpp"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace tovali {
namespace {

// Milliseconds of a monotonic clock, as input devices stamp their events.
std::uint32_t now() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

} // namespace

WlrootsEventPoster::WlrootsEventPoster(WlrootsConnection& connection, Displays& displays,
                                       double doubleClickInterval)
    : connection_(connection), estimate_(displays), doubleClickInterval_(doubleClickInterval),
      rest_(new QTimer(this)) {
    rest_->setSingleShot(true);
    rest_->setInterval(restMilliseconds);
    QObject::connect(rest_, &QTimer::timeout, this, [this] { stopScrolling(); });
    // A new pointer holds nothing and may be anywhere; an old one took its buttons with it.
    connection_.onPointerChange([this] {
        held_.clear();
        scrolledVertically_ = scrolledHorizontally_ = false;
        estimate_.forget();
        unsent_ = {};
    });
}

WlrootsEventPoster::~WlrootsEventPoster() {
    connection_.onPointerChange(nullptr);
    releaseAll();
}

void WlrootsEventPoster::postMouseEvent(const MouseEvent& event) {
    zwlr_virtual_pointer_v1* pointer = connection_.pointer();
    const auto change = buttonChange(event.type);
    if (pointer == nullptr || !std::isfinite(event.location.x) ||
        !std::isfinite(event.location.y) || (!change && !isMotion(event.type)))
        return;
    const std::uint32_t time = now();
    // The protocol carries 1/256 of a pixel; what rounding leaves out goes with the next move,
    // or smoothed motion made of many small steps would drift from where the estimate is.
    const Point delta = estimate_.moveTo(event.location);
    const auto fixed = [](double& unsent, double move) {
        const wl_fixed_t sent = wl_fixed_from_double(unsent + move);
        unsent += move - wl_fixed_to_double(sent);
        return sent;
    };
    const wl_fixed_t dx = fixed(unsent_.x, delta.x);
    const wl_fixed_t dy = fixed(unsent_.y, delta.y);
    if (dx != 0 || dy != 0) {
        zwlr_virtual_pointer_v1_motion(pointer, time, dx, dy);
        zwlr_virtual_pointer_v1_frame(pointer);
    }
    // A second press of a held button, or a release of one not held, is not passed on: the
    // compositor would count it, and a button could stay down.
    const std::uint32_t button = change && change->left ? BTN_LEFT : BTN_RIGHT;
    if (change && (change->press ? held_.insert(button).second : held_.erase(button) == 1)) {
        zwlr_virtual_pointer_v1_button(pointer, time, button,
                                       change->press ? WL_POINTER_BUTTON_STATE_PRESSED
                                                     : WL_POINTER_BUTTON_STATE_RELEASED);
        zwlr_virtual_pointer_v1_frame(pointer);
    }
    connection_.flush();
}

// Wayland's axes grow down and right, the opposite of the event's signs. wlroots labels the
// source with the axis sent before it, so each axis goes out as axis, source, frame.
void WlrootsEventPoster::postScrollEvent(const ScrollEvent& event) {
    zwlr_virtual_pointer_v1* pointer = connection_.pointer();
    if (pointer == nullptr || (event.vertical == 0 && event.horizontal == 0))
        return;
    const std::uint32_t time = now();
    const auto scroll = [&](std::uint32_t axis, std::int32_t pixels) {
        zwlr_virtual_pointer_v1_axis(pointer, time, axis, wl_fixed_from_int(-pixels));
        zwlr_virtual_pointer_v1_axis_source(pointer, event.continuous
                                                         ? WL_POINTER_AXIS_SOURCE_FINGER
                                                         : WL_POINTER_AXIS_SOURCE_WHEEL);
        zwlr_virtual_pointer_v1_frame(pointer);
    };
    if (event.vertical != 0) {
        scroll(WL_POINTER_AXIS_VERTICAL_SCROLL, event.vertical);
        scrolledVertically_ = true;
    }
    if (event.horizontal != 0) {
        scroll(WL_POINTER_AXIS_HORIZONTAL_SCROLL, event.horizontal);
        scrolledHorizontally_ = true;
    }
    connection_.flush();
    if (event.continuous)
        rest_->start();
}

void WlrootsEventPoster::stopScrolling() {
    zwlr_virtual_pointer_v1* pointer = connection_.pointer();
    if (pointer == nullptr)
        return;
    const std::uint32_t time = now();
    for (const auto& [scrolled, axis] :
         {std::pair{&scrolledVertically_, WL_POINTER_AXIS_VERTICAL_SCROLL},
          std::pair{&scrolledHorizontally_, WL_POINTER_AXIS_HORIZONTAL_SCROLL}}) {
        if (*scrolled) {
            zwlr_virtual_pointer_v1_axis_stop(pointer, time, axis);
            zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_FINGER);
            zwlr_virtual_pointer_v1_frame(pointer);
            *scrolled = false;
        }
    }
    connection_.flush();
}

void WlrootsEventPoster::releaseAll() {
    zwlr_virtual_pointer_v1* pointer = connection_.pointer();
    if (pointer == nullptr)
        return;
    const std::uint32_t time = now();
    for (const std::uint32_t button : held_) {
        zwlr_virtual_pointer_v1_button(pointer, time, button, WL_POINTER_BUTTON_STATE_RELEASED);
        zwlr_virtual_pointer_v1_frame(pointer);
    }
    held_.clear();
    connection_.flush();
}

bool WlrootsAccessibility::isProcessTrusted() {
    return connection_.pointer() != nullptr;
}

} // namespace tovali
