#include "platform/portal/portal_event_poster.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

#include "platform/portal/portal_session.hpp"

namespace tovali {

namespace {

struct DesktopScroll {
    std::string_view desktop;
    ScrollStyle style;
};

// Read from the backends' sources, not yet seen on the desktops themselves. mutter makes a wheel
// notch of 10 units and scrolls down for a positive dy; KWin makes one of 15 and scrolls up. A
// notch is taken as 48 pixels, as on the X11 route, so that a watch scrolls alike on both.
constexpr DesktopScroll desktopScrolls[] = {
    {"GNOME", {.unitsPerPixel = 10.0 / 48.0, .upSign = -1.0}},
    {"KDE", {.unitsPerPixel = 15.0 / 48.0, .upSign = 1.0}},
};
// Other desktops are taken to follow GNOME, which follows the evdev convention.
constexpr ScrollStyle otherDesktops = desktopScrolls[0].style;

bool sameName(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

ScrollStyle scrollStyleFor(std::string_view currentDesktop) {
    while (!currentDesktop.empty()) {
        const auto colon = currentDesktop.find(':');
        const std::string_view name = currentDesktop.substr(0, colon);
        for (const DesktopScroll& known : desktopScrolls) {
            if (sameName(name, known.desktop))
                return known.style;
        }
        currentDesktop =
            colon == std::string_view::npos ? std::string_view() : currentDesktop.substr(colon + 1);
    }
    return otherDesktops;
}

PortalEventPoster::PortalEventPoster(PortalSession& session, Displays& displays,
                                     double doubleClickInterval, ScrollStyle scrollStyle)
    : session_(session), estimate_(displays), doubleClickInterval_(doubleClickInterval),
      scrollStyle_(scrollStyle) {}

void PortalEventPoster::followSession() {
    // The real pointer may be anywhere after the desktop let go of it.
    if (session_.startedSessions() != sessionsSeen_) {
        sessionsSeen_ = session_.startedSessions();
        estimate_.forget();
    }
}

std::optional<Point> PortalEventPoster::pointerLocation() {
    followSession();
    return estimate_.location();
}

void PortalEventPoster::postMouseEvent(const MouseEvent& event) {
    followSession();
    // The estimate moves only with what reaches the desktop.
    if (!session_.holdsPointer())
        return;
    const Point moved = estimate_.moveTo(event.location);
    session_.moveBy(moved.x, moved.y);
    if (const auto change = buttonChange(event.type))
        session_.setButton(change->left ? portal::leftButton : portal::rightButton, change->press);
}

void PortalEventPoster::postScrollEvent(const ScrollEvent& event) {
    const double scale = scrollStyle_.unitsPerPixel;
    // Positive horizontal scrolls left here, right on every desktop.
    session_.scroll(-event.horizontal * scale, event.vertical * scrollStyle_.upSign * scale);
}

void PortalEventPoster::endScroll() {
    session_.endScroll();
}

} // namespace tovali
