#pragma once

#include "platform/main_loop.hpp"

namespace tovali {

/// The main loop on Qt's event loop. Timers and display links need a QCoreApplication (a
/// QGuiApplication to follow the screen's refresh rate) and fire on its thread only.
class QtMainLoop final : public MainLoop {
public:
    double uptime() const override;
    double continuousTime() const override;
    double wallTime() const override;

    TimerHandle runAfter(double seconds, TimerClock clock, std::function<void()> fired) override;
    TimerHandle runEvery(double interval, std::function<void()> fired) override;
    /// Null when a GUI application has no screen; a frame is the start of a refresh period on
    /// the uptime clock, and a late loop gets one call for all the periods it missed.
    std::unique_ptr<DisplayLink> makeDisplayLink(std::function<void(DisplayLink&)> frame) override;
};

} // namespace tovali
