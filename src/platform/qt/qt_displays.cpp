#include "platform/qt/qt_displays.hpp"

#include <QGuiApplication>
#include <QScreen>

namespace tovali {

// Qt keeps its screen list current from the platform's notifications, so reading it per frame
// costs no round trip.
std::span<const Rect> QtDisplays::activeDisplayBounds() {
    bounds_.clear();
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect g = screen->geometry();
        bounds_.push_back({static_cast<double>(g.x()), static_cast<double>(g.y()),
                           static_cast<double>(g.width()), static_cast<double>(g.height())});
    }
    return bounds_;
}

} // namespace tovali
