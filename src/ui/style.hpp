#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QLabel;
class QPalette;
class QWidget;

namespace tovali::style {

// Text roles, scaled from the desktop's default font so that they follow the user's size.
QFont bodyFont();
QFont headlineFont();
/// Semibold, as the list heading uses it.
QFont subheadlineFont();
QFont captionFont();
/// The system face at a fixed size in logical pixels, for the code and the symbols.
QFont fixedSizeFont(int pixelSize, QFont::Weight weight, bool monospaced = false);

// Colour roles.
QColor systemBlue();
QColor systemGreen();
QColor systemOrange();
QColor systemRed();
/// Text of lesser importance: the palette's text colour, dimmed.
QColor secondaryText(const QPalette& palette);
/// The desktop's accent colour.
QColor accent(const QPalette& palette);

/// A label that shows its text as plain text, never as markup, wrapping onto as many lines as it
/// needs. Everything the interface shows goes through this.
QLabel* plainLabel(const QString& text, QWidget* parent = nullptr);
void setTextColor(QWidget& widget, const QColor& color);

/// A copy of the text for a label this many pixels wide: a word too wide for a line of its own
/// may break between any two characters (U+200B between its grapheme clusters), since a label
/// wraps only at spaces and a long name must not widen its window.
QString breakingLongWords(const QString& text, const QFont& font, int width);

} // namespace tovali::style
