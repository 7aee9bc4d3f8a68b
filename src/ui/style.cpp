#include "ui/style.hpp"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QPalette>
#include <QTextBoundaryFinder>

namespace tovali::style {
namespace {

// The roles' sizes relative to the body text, as the platform the design came from sets them
// (13, 11 and 10 points).
constexpr double subheadlineScale = 11.0 / 13.0;
constexpr double captionScale = 10.0 / 13.0;

QFont scaled(double factor) {
    QFont font = QApplication::font();
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * factor);
    } else {
        font.setPixelSize(std::max(1, static_cast<int>(font.pixelSize() * factor + 0.5)));
    }
    return font;
}

/// The word with a zero-width space between each two of its grapheme clusters.
QString breakableAnywhere(const QString& word) {
    QString broken;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, word);
    qsizetype start = 0;
    for (qsizetype end = graphemes.toNextBoundary(); end != -1; end = graphemes.toNextBoundary()) {
        if (start > 0)
            broken += QChar(0x200B);
        broken += word.mid(start, end - start);
        start = end;
    }
    return broken;
}

} // namespace

QFont bodyFont() {
    return QApplication::font();
}

QFont headlineFont() {
    QFont font = bodyFont();
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont subheadlineFont() {
    QFont font = scaled(subheadlineScale);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont captionFont() {
    return scaled(captionScale);
}

QFont fixedSizeFont(int pixelSize, QFont::Weight weight, bool monospaced) {
    QFont font = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : bodyFont();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QColor systemBlue() {
    return {0x00, 0x7a, 0xff};
}
QColor systemGreen() {
    return {0x34, 0xc7, 0x59};
}
QColor systemOrange() {
    return {0xff, 0x95, 0x00};
}
QColor systemRed() {
    return {0xff, 0x3b, 0x30};
}

QColor secondaryText(const QPalette& palette) {
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(0.6f);
    return color;
}

QColor accent(const QPalette& palette) {
    return palette.color(QPalette::Highlight);
}

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setText(text);
    return label;
}

void setTextColor(QWidget& widget, const QColor& color) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget.setPalette(palette);
}

QString breakingLongWords(const QString& text, const QFont& font, int width) {
    const QFontMetrics metrics(font);
    QString result;
    qsizetype index = 0;
    while (index < text.size()) {
        qsizetype end = index;
        const bool space = text[index].isSpace();
        while (end < text.size() && text[end].isSpace() == space)
            ++end;
        const QString run = text.mid(index, end - index);
        result += !space && metrics.horizontalAdvance(run) > width ? breakableAnywhere(run) : run;
        index = end;
    }
    return result;
}

} // namespace tovali::style
