#pragma once

namespace tovali {

/// A location in the global display space: points, origin at the top-left corner of the main
/// display, y growing downwards.
struct Point {
    double x = 0.0;
    double y = 0.0;
    friend bool operator==(const Point&, const Point&) = default;
};

/// A rectangle in the global display space; it holds the points of [minX, maxX) x [minY, maxY).
struct Rect {
    double x = 0.0;
    double y = 0.0;
    double width = 0.0;
    double height = 0.0;

    double minX() const { return x; }
    double minY() const { return y; }
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    bool contains(Point p) const {
        return minX() <= p.x && p.x < maxX() && minY() <= p.y && p.y < maxY();
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

} // namespace tovali
