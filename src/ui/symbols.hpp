#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace tovali {

/// The symbols the interface draws, after the system symbols the design names.
enum class Symbol {
    watch,          // "applewatch"
    watchAlert,     // "exclamationmark.applewatch"
    watchConnected, // "applewatch.radiowaves.left.and.right"
    accessibility,  // "accessibility"
};

/// The design's name for the symbol.
const char* symbolName(Symbol symbol);

/// The symbol in one colour on a transparent square of `size` logical pixels.
QPixmap symbolPixmap(Symbol symbol, int size, const QColor& color, qreal devicePixelRatio = 1.0);

/// The symbol as a tray icon: black on transparent, marked as a mask so that the tray may tint
/// it, in the sizes trays ask for.
QIcon trayIcon(Symbol symbol);

} // namespace tovali
