#include <gtest/gtest.h>

#include "common/bytes.hpp"

namespace tovali {
namespace {

TEST(Hex, everyByteValue_roundTripsAndMalformedTextIsNone) {
    Bytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<std::uint8_t>(i));
    EXPECT_EQ(fromHex(toHex(all)), all);
    EXPECT_EQ(fromHex("0aFf"), (Bytes{0x0a, 0xff}));
    EXPECT_EQ(fromHex(""), Bytes{});
    for (const char* bad : {"abc", "0g", " 00"})
        EXPECT_FALSE(fromHex(bad)) << bad;
}

} // namespace
} // namespace tovali
