#include "ui/symbols.hpp"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <array>
#include <cmath>

namespace tovali {
namespace {

// Every symbol is drawn in a square of 100 units, in opaque black, then tinted as a whole, so
// that overlapping strokes never show through a translucent colour.
constexpr qreal units = 100.0;

/// Draws in units, with line widths that stay at least about one and a half pixels thick at the
/// tray's smallest sizes.
class Pen {
public:
    Pen(QPainter& painter, qreal pixelsPerUnit)
        : painter_(painter), pixelsPerUnit_(pixelsPerUnit) {}

    /// A line width in units, thickened where it would come out thinner than 1.5 pixels.
    qreal width(qreal unitsWide) const { return std::max(unitsWide, 1.5 / pixelsPerUnit_); }

    void stroke(const QPainterPath& path, qreal unitsWide) const {
        QPen pen(Qt::black, width(unitsWide), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter_.strokePath(path, pen);
    }
    void fill(const QPainterPath& path) const { painter_.fillPath(path, Qt::black); }

private:
    QPainter& painter_;
    qreal pixelsPerUnit_;
};

QPainterPath roundedRect(const QRectF& rect, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

/// The watch: a rounded case drawn as an outline, a short strap above and below it, and the
/// crown on the right side. `scale` shrinks it about the centre of the square; the case and
/// crown together are centred.
void drawWatch(const Pen& pen, qreal scale, bool exclamationMark) {
    const auto at = [scale](qreal x, qreal y) {
        return QPointF(50 + (x - 50) * scale, 50 + (y - 50) * scale);
    };
    const auto rect = [&](qreal left, qreal top, qreal right, qreal bottom) {
        return QRectF(at(left, top), at(right, bottom));
    };
    const qreal caseStroke = pen.width(7 * scale);

    // The straps, tucked under the case's outline.
    pen.fill(roundedRect(rect(31, 5, 63, 26), 4 * scale));
    pen.fill(roundedRect(rect(31, 74, 63, 95), 4 * scale));
    // The crown.
    pen.fill(roundedRect(rect(67, 36, 77, 50), 2.5 * scale));

    // The case: filled, then the face cut out of it, so the outline sits inside the bounds.
    const QRectF outer = rect(23, 21, 71, 79);
    QPainterPath casePath = roundedRect(outer, 14 * scale);
    const QRectF face = outer.adjusted(caseStroke, caseStroke, -caseStroke, -caseStroke);
    casePath.addRoundedRect(face, std::max(0.0, 14 * scale - caseStroke),
                            std::max(0.0, 14 * scale - caseStroke));
    casePath.setFillRule(Qt::OddEvenFill);
    pen.fill(casePath);

    if (exclamationMark) {
        const qreal centre = face.center().x();
        const qreal barWidth = std::max(7 * scale, pen.width(0));
        QPainterPath bar;
        bar.addRoundedRect(QRectF(centre - barWidth / 2, face.top() + face.height() * 0.16,
                                  barWidth, face.height() * 0.44),
                           barWidth / 2, barWidth / 2);
        pen.fill(bar);
        QPainterPath dot;
        dot.addEllipse(QPointF(centre, face.top() + face.height() * 0.8), barWidth * 0.62,
                       barWidth * 0.62);
        pen.fill(dot);
    }
}

/// Two arcs of radio waves on each side of the centre.
void drawRadioWaves(const Pen& pen) {
    constexpr std::array<qreal, 2> radii{31, 43};
    constexpr qreal halfSpan = 38; // degrees either side of the horizontal
    for (const qreal radius : radii) {
        const QRectF circle(50 - radius, 50 - radius, 2 * radius, 2 * radius);
        for (const qreal middle : {0.0, 180.0}) {
            QPainterPath arc;
            arc.arcMoveTo(circle, middle - halfSpan);
            arc.arcTo(circle, middle - halfSpan, 2 * halfSpan);
            pen.stroke(arc, 6.5);
        }
    }
}

/// The accessibility figure: a person with arms spread, inside a circle.
void drawAccessibility(const Pen& pen) {
    QPainterPath circle;
    circle.addEllipse(QPointF(50, 50), 44, 44);
    pen.stroke(circle, 7);

    QPainterPath head;
    head.addEllipse(QPointF(50, 25), 7.5, 7.5);
    pen.fill(head);

    QPainterPath arms;
    arms.moveTo(25, 40);
    arms.quadTo(50, 45, 75, 40);
    pen.stroke(arms, 7);

    QPainterPath body;
    body.moveTo(50, 42);
    body.lineTo(50, 58);
    pen.stroke(body, 11);

    QPainterPath legs;
    legs.moveTo(38, 79);
    legs.lineTo(46.5, 57);
    legs.lineTo(53.5, 57);
    legs.lineTo(62, 79);
    pen.stroke(legs, 7.5);
}

void draw(Symbol symbol, const Pen& pen) {
    switch (symbol) {
    case Symbol::watch:
        drawWatch(pen, 1.0, false);
        break;
    case Symbol::watchAlert:
        drawWatch(pen, 1.0, true);
        break;
    case Symbol::watchConnected:
        drawWatch(pen, 0.62, false);
        drawRadioWaves(pen);
        break;
    case Symbol::accessibility:
        drawAccessibility(pen);
        break;
    }
}

} // namespace

const char* symbolName(Symbol symbol) {
    switch (symbol) {
    case Symbol::watch:
        return "applewatch";
    case Symbol::watchAlert:
        return "exclamationmark.applewatch";
    case Symbol::watchConnected:
        return "applewatch.radiowaves.left.and.right";
    case Symbol::accessibility:
        return "accessibility";
    }
    return "";
}

QPixmap symbolPixmap(Symbol symbol, int size, const QColor& color, qreal devicePixelRatio) {
    if (size <= 0)
        return {};
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const int pixels = std::max(1, static_cast<int>(std::lround(size * ratio)));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal pixelsPerUnit = pixels / units;
        painter.scale(pixelsPerUnit, pixelsPerUnit);
        draw(symbol, Pen(painter, pixelsPerUnit));
        // Tint: keep the drawn coverage, take the colour.
        painter.resetTransform();
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
    image.setDevicePixelRatio(ratio);
    return QPixmap::fromImage(std::move(image));
}

QIcon trayIcon(Symbol symbol) {
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(symbolPixmap(symbol, size, Qt::black));
    icon.setIsMask(true);
    return icon;
}

} // namespace tovali
