#include "input/motion_smoother.hpp"

#include <cmath>

namespace tovali {

namespace {
// Below this on both axes the rest is released at once instead of crawling for many frames.
constexpr double snapDistance = 0.05;
} // namespace

void MotionSmoother::addMotion(double dx, double dy) {
    pendingX += dx;
    pendingY += dy;
}

Motion MotionSmoother::step(double dt) {
    double alpha = 1.0;
    if (timeConstant > 0.0) {
        const double exponent = dt > 0.0 ? -dt : -0.0;
        alpha = 1.0 - std::exp(exponent / timeConstant);
    }
    const Motion share{alpha * pendingX, alpha * pendingY};
    const bool snap =
        std::abs(pendingX - share.x) < snapDistance && std::abs(pendingY - share.y) < snapDistance;
    const Motion out = snap ? Motion{pendingX, pendingY} : share;
    pendingX -= out.x;
    pendingY -= out.y;
    return out;
}

} // namespace tovali
