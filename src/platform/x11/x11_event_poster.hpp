#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/event_poster.hpp"

namespace tovali {

class X11Connection;

/// Posts pointer events through XTest. Each event is flushed to the server as it is posted.
class X11EventPoster final : public EventPoster {
public:
    /// One wheel click in pixels: about three lines of text, what X clients scroll per click.
    static constexpr int pixelsPerWheelClick = 48;
    /// The most clicks one event posts per axis, so that hostile input cannot flood the server.
    static constexpr int maxClicksPerEvent = 1000;

    /// A scroll remainder older than this is dropped: it belongs to a gesture that has ended.
    static constexpr double remainderLifetime = 0.3;

    /// X has no double-click setting of its own, so the caller passes the desktop's, in seconds.
    /// `now` is a monotonic clock in seconds; the steady clock unless a test gives one.
    X11EventPoster(X11Connection& connection, double doubleClickInterval,
                   std::function<double()> now = {});

    std::optional<Point> pointerLocation() override;
    void postMouseEvent(const MouseEvent& event) override;
    void postScrollEvent(const ScrollEvent& event) override;
    double doubleClickInterval() const override { return doubleClickInterval_; }

private:
    bool postWheelClicks(std::int32_t& remainder, std::int32_t pixels, unsigned positiveButton,
                         unsigned negativeButton);

    X11Connection& connection_;
    double doubleClickInterval_;
    std::function<double()> now_;
    std::optional<double> lastScroll_;
    // Scroll distance short of a whole click, kept per axis so that slow scrolling adds up.
    std::int32_t verticalRemainder_ = 0;
    std::int32_t horizontalRemainder_ = 0;
};

} // namespace tovali
