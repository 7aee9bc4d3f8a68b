#pragma once

namespace tovali {

/// A relative movement in points (or scroll pixels).
struct Motion {
    double x = 0.0;
    double y = 0.0;
    friend bool operator==(const Motion&, const Motion&) = default;
};

/// Spreads a burst of relative motion over display frames with an exponential ease-out.
/// Nothing pending is exactly 0.0 on both axes: the frame loop stops only on that.
struct MotionSmoother {
    /// Seconds; 0 or less releases everything in one step.
    double timeConstant = 0.0;
    double pendingX = 0.0;
    double pendingY = 0.0;

    void addMotion(double dx, double dy);
    /// The motion to apply in a frame of `dt` seconds, taken off the pending motion.
    Motion step(double dt);
    bool isIdle() const { return pendingX == 0.0 && pendingY == 0.0; }
};

} // namespace tovali
