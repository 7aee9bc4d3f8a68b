#include <string>

#include <gtest/gtest.h>

#include "link/watch_name.hpp"
#include "support/hex.hpp"

namespace tovali {
namespace {

using test::hex;

std::string decodeHex(std::string_view bytes) {
    return decodeUtf8Lossy(hex(bytes));
}

constexpr std::string_view replacement = "\xEF\xBF\xBD";

std::string repeat(std::string_view piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

TEST(DecodeUtf8Lossy, illFormedSubparts_eachBecomeOneReplacement) {
    const std::string r(replacement);
    // A sequence cut short is one maximal subpart, however many bytes it kept.
    EXPECT_EQ(decodeHex("4469616cc3"), "Dial" + r);
    EXPECT_EQ(decodeHex("4469616ce29c"), "Dial" + r);
    EXPECT_EQ(decodeHex("4469616cf09f98"), "Dial" + r);
    // The Unicode Standard's own example: a, F1 80 80, E1 80, C2, b, 80, c, 80 BF, d.
    EXPECT_EQ(decodeHex("61f18080e180c262806380bf64"),
              "a" + r + r + r + "b" + r + "c" + r + r + "d");
    // Overlong forms, surrogates and code points past U+10FFFF: one per byte.
    EXPECT_EQ(decodeHex("c0af"), r + r);
    EXPECT_EQ(decodeHex("eda080"), r + r + r);
    EXPECT_EQ(decodeHex("f4908080"), r + r + r + r);
    // A lead byte followed by a complete character keeps that character.
    EXPECT_EQ(decodeHex("c3c3a9"), r + "\xC3\xA9");
    // Boundary code points are well-formed and pass through unchanged.
    EXPECT_EQ(decodeHex("c280dfbfe0a080ed9fbfee8080f0908080f48fbfbf"),
              std::string("\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"
                          "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
    EXPECT_EQ(decodeUtf8Lossy(Bytes{'a', 0, 'b'}), std::string("a\0b", 3));
}

TEST(WatchName, longNames_keepFortyWholeClusters) {
    EXPECT_EQ(watchNameFromBytes(asBytes(repeat("k", 41))), repeat("k", 40));
    EXPECT_EQ(watchNameFromBytes(asBytes(repeat("k", 40))), repeat("k", 40));
    // The 40th cluster keeps its combining mark.
    EXPECT_EQ(watchNameFromBytes(asBytes(repeat("k", 39) + "e\xCC\x81xyz")),
              repeat("k", 39) + "e\xCC\x81");
    // A family emoji joined by ZWJ is one cluster and is never cut in the middle.
    const std::string family = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D"
                               "\xF0\x9F\x91\xA7";
    EXPECT_EQ(watchNameFromBytes(asBytes(repeat("k", 39) + family + family)),
              repeat("k", 39) + family);
    // Flags pair up their regional indicators.
    const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
    EXPECT_EQ(graphemeCount(repeat(flag, 3)), 3u);
    // A replacement character is a cluster like any other and is counted as one.
    EXPECT_EQ(watchNameFromBytes(hex(repeat("ff", 45))), repeat(replacement, 40));
    EXPECT_EQ(watchNameFromBytes({}), "");
}

TEST(GraphemeCount, clusterRulesCombiningCrLfAndHangul) {
    EXPECT_EQ(graphemeCount("ab\r\ncd\n\ref"), 9u);
    EXPECT_EQ(graphemeCount(repeat("\xCC\x81", 50) + "k"), 2u);
    EXPECT_EQ(graphemeCount("\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8"), 1u); // L V T jamo
    EXPECT_EQ(graphemeCount(""), 0u);
}

} // namespace
} // namespace tovali
