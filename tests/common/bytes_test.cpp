#include <gtest/gtest.h>

#include "common/bytes.hpp"

namespace tovali {
namespace {

TEST(Hex, roundTrip_everyByteValue_survives) {
    Bytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<std::uint8_t>(i));
    auto back = fromHex(toHex(all));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, all);
    EXPECT_EQ(fromHex("0aFf"), (Bytes{0x0a, 0xff}));
}

TEST(Hex, fromHex_oddLengthOrForeignDigit_isNone) {
    EXPECT_FALSE(fromHex("abc"));
    EXPECT_FALSE(fromHex("0g"));
    EXPECT_FALSE(fromHex(" 00"));
    EXPECT_EQ(fromHex(""), Bytes{});
}

} // namespace
} // namespace tovali
