#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

#include "common/geometry.hpp"
#include "common/input_event.hpp"
#include "input/click_counter.hpp"
#include "input/motion_smoother.hpp"
#include "input/mouse_button.hpp"
#include "input/pixel_accumulator.hpp"
#include "platform/displays.hpp"
#include "platform/event_poster.hpp"
#include "platform/main_loop.hpp"

namespace tovali {

/// Turns a watch's decoded input into system pointer events: motion and scrolling smoothed over
/// display frames, buttons at once, and held buttons released when the watch goes quiet.
class InputEngine {
public:
    static constexpr double pointerTimeConstant = 0.014;
    static constexpr double scrollTimeConstant = 0.03;
    static constexpr double clickSlop = 6.0;
    static constexpr double safetyCheckInterval = 5.0;
    static constexpr double idleReleaseAfter = 20.0;

    InputEngine(EventPoster& poster, Displays& displays, MainLoop& loop);
    InputEngine(const InputEngine&) = delete;
    InputEngine& operator=(const InputEngine&) = delete;

    void handleInput(const InputEvent& event);
    /// Releases every held button, so that a lost watch never leaves one pressed.
    void releaseAll();

    const MouseButtonSet& held() const { return held_; }
    std::optional<Point> position() const { return position_; }

private:
    void frame(DisplayLink& link);
    void ensureFrameLoop();
    Point referenceLocation();
    void movePointer(double dx, double dy);
    Point clampToDisplays(Point target, Point base);
    void press(MouseButton button);
    void release(MouseButton button);
    void postRelease(MouseButton button, Point location);
    void rescheduleSafetyTimer();

    EventPoster& poster_;
    Displays& displays_;
    MainLoop& loop_;

    MotionSmoother pointer_{pointerTimeConstant};
    MotionSmoother scroll_{scrollTimeConstant};
    PixelAccumulator scrollPixels_;
    /// Scroll events were posted since the scrolling last came to rest.
    bool scrolling_ = false;
    MouseButtonSet held_;
    ClickCounter clicks_;
    std::int64_t clickCount_ = 1;
    std::optional<Point> position_;
    std::unique_ptr<DisplayLink> displayLink_;
    std::optional<double> lastFrame_;
    // Uptime, not wall time: setting the clock must neither hold a button nor cut a drag.
    double lastInput_ = -std::numeric_limits<double>::infinity();
    TimerHandle releaseTimer_;
};

} // namespace tovali
