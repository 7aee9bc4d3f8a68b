#include "ui/paired_date.hpp"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>

#include "common/reference_date.hpp"

namespace tovali {
namespace {

/// The locale's long date without the weekday and with the month abbreviated ("Dec 6, 2026"
/// in American English), or its short date when nothing is left of the long one.
QString abbreviatedDateFormat(const QLocale& locale) {
    QString format = locale.dateFormat(QLocale::LongFormat);
    // The weekday with the separator after it ("dddd, d MMMM yyyy"), or when nothing separates
    // it from what follows, with the separator before it ("yyyy. MMMM d., dddd"). Separators
    // are spaces and commas (Latin, Arabic, ideographic, full-width); anything else is part of
    // the date ("d日", "d.").
    static const QRegularExpression weekdayThenSeparator(
        QStringLiteral("dddd[\\s,\\x{060C}\\x{3001}\\x{FF0C}]+"));
    static const QRegularExpression separatorThenWeekday(
        QStringLiteral("[\\s,\\x{060C}\\x{3001}\\x{FF0C}]*dddd"));
    if (format.contains(weekdayThenSeparator)) {
        format.remove(weekdayThenSeparator);
    } else {
        format.remove(separatorThenWeekday);
    }
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    format = format.trimmed();
    static const QRegularExpression anyField(QStringLiteral("[dMy]"));
    if (!format.contains(anyField)) {
        return locale.dateFormat(QLocale::ShortFormat);
    }
    return format;
}

} // namespace

QString pairedDate(double pairedAt) {
    // The stored list takes any finite number; what no date can show reads as the nearest date
    // that can, before the conversion to an integer could overflow.
    static const double earliest =
        static_cast<double>(QDateTime(QDate(1, 1, 2), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch());
    static const double latest = static_cast<double>(
        QDateTime(QDate(9999, 12, 30), QTime(23, 59), Qt::UTC).toMSecsSinceEpoch());
    const double unixMs = std::floor((pairedAt + unixTimeOfReferenceDate) * 1000.0);
    const double shown = std::isnan(unixMs) ? unixTimeOfReferenceDate * 1000.0
                                            : std::clamp(unixMs, earliest, latest);
    const QDate date =
        QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(shown)).toLocalTime().date();
    const QLocale locale;
    return locale.toString(date, abbreviatedDateFormat(locale));
}

} // namespace tovali
