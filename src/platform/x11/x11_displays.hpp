#pragma once

#include <vector>

#include "platform/displays.hpp"

namespace tovali {

class X11Connection;

/// The active RandR monitors, or the whole root window when RandR lists none. The list is kept
/// until the server announces a change, so that asking once per frame costs no round trip.
/// This adapter reads the connection's event queue: no other user of the connection may wait
/// for events on it.
class X11Displays final : public Displays {
public:
    explicit X11Displays(X11Connection& connection);

    std::span<const Rect> activeDisplayBounds() override;

private:
    void readNotifications();
    void refresh();

    X11Connection& connection_;
    std::vector<Rect> bounds_;
    bool stale_ = true;
};

} // namespace tovali
