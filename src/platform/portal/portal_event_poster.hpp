#pragma once

#include <string_view>

#include "platform/event_poster.hpp"
#include "platform/pointer_estimate.hpp"

namespace tovali {

class Displays;
class PortalSession;

/// How a desktop reads the portal's scroll deltas: positive vertical scrolls down on some and
/// up on others, and their units per wheel notch differ.
struct ScrollStyle {
    /// Portal units per scrolled pixel.
    double unitsPerPixel = 1.0;
    /// +1 where a positive portal dy scrolls up, -1 where it scrolls down.
    double upSign = -1.0;
};

/// The style of the desktop named by XDG_CURRENT_DESKTOP (a colon-separated list).
ScrollStyle scrollStyleFor(std::string_view currentDesktop);

/// Posts through the RemoteDesktop portal. The portal takes relative motion and never says
/// where the pointer is, so the location is an estimate kept on the displays.
class PortalEventPoster final : public EventPoster {
public:
    PortalEventPoster(PortalSession& session, Displays& displays, double doubleClickInterval,
                      ScrollStyle scrollStyle);

    std::optional<Point> pointerLocation() override;
    void postMouseEvent(const MouseEvent& event) override;
    void postScrollEvent(const ScrollEvent& event) override;
    void endScroll() override;
    double doubleClickInterval() const override { return doubleClickInterval_; }

private:
    void followSession();

    PortalSession& session_;
    PointerEstimate estimate_;
    double doubleClickInterval_;
    ScrollStyle scrollStyle_;
    int sessionsSeen_ = 0;
};

} // namespace tovali
