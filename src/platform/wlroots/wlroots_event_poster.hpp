#pragma once

#include <QObject>
#include <cstdint>
#include <set>

#include "platform/accessibility.hpp"
#include "platform/event_poster.hpp"
#include "platform/pointer_estimate.hpp"

class QTimer;

namespace tovali {

class Displays;
class WlrootsConnection;

/// Posts pointer events through a wlroots virtual pointer: relative motion from an estimate of
/// where the pointer is (the protocol cannot tell), buttons kept balanced, smooth scrolling
/// that stops when it comes to rest.
class WlrootsEventPoster final : public QObject, public EventPoster {
public:
    /// Scrolling that pauses this long has come to rest.
    static constexpr int restMilliseconds = 100;

    WlrootsEventPoster(WlrootsConnection& connection, Displays& displays,
                       double doubleClickInterval);
    ~WlrootsEventPoster() override;
    WlrootsEventPoster(const WlrootsEventPoster&) = delete;
    WlrootsEventPoster& operator=(const WlrootsEventPoster&) = delete;

    std::optional<Point> pointerLocation() override { return estimate_.location(); }
    void postMouseEvent(const MouseEvent& event) override;
    void postScrollEvent(const ScrollEvent& event) override;
    double doubleClickInterval() const override { return doubleClickInterval_; }

private:
    void stopScrolling();
    void releaseAll();

    WlrootsConnection& connection_;
    PointerEstimate estimate_;
    /// Motion not yet sent, less than the protocol's smallest step.
    Point unsent_;
    double doubleClickInterval_;
    /// evdev codes of the buttons this pointer holds down.
    std::set<std::uint32_t> held_;
    bool scrolledVertically_ = false;
    bool scrolledHorizontally_ = false;
    QTimer* rest_;
};

/// The compositor lets every client use the virtual pointer: the permission is there while the
/// compositor is.
class WlrootsAccessibility final : public Accessibility {
public:
    explicit WlrootsAccessibility(WlrootsConnection& connection) : connection_(connection) {}

    bool isProcessTrusted() override;
    void promptForPermission() override {}
    PermissionRemedy remedy() override { return PermissionRemedy::waitForDesktop; }

private:
    WlrootsConnection& connection_;
};

} // namespace tovali
