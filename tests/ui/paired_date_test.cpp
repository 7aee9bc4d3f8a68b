#include <QLocale>
#include <utility>

#include <gtest/gtest.h>

#include "ui/paired_date.hpp"

namespace {

using tovali::pairedDate;

// The stored list takes any finite number; one no date can show reads as the nearest that can.
TEST(PairedDate, timesBeyondAnyDate_readAsTheNearestDate) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const std::pair<double, const char*> cases[]{
        {1e300, "9999"}, {-1e300, "0001"}, {-1e18, "0001"}, {4.9406564584124654e-324, "200"}};
    for (const auto& [seconds, year] : cases) {
        EXPECT_TRUE(pairedDate(seconds).contains(QLatin1String(year))) << seconds;
    }
    EXPECT_EQ(pairedDate(4.9406564584124654e-324), pairedDate(0.0));
    QLocale::setDefault(QLocale::system());
}

} // namespace
