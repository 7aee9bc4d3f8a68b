#include <cmath>

#include <gtest/gtest.h>

#include "trust/base64.hpp"
#include "trust/trusted_watch.hpp"

namespace tovali {
namespace {

// 04, 32 bytes of ff, then 0 to 31: its Base64 starts with 42 slashes.
Bytes slashyKey() {
    Bytes key{0x04};
    key.insert(key.end(), 32, 0xff);
    for (std::uint8_t i = 0; i < 32; ++i) {
        key.push_back(i);
    }
    return key;
}

TEST(TrustedWatchJson, encode_isCompactOrderedWithEscapedSlashesAndShortestNumbers) {
    std::string slashes;
    for (int i = 0; i < 42; ++i) {
        slashes += "\\/";
    }
    EXPECT_EQ(
        *encodeTrustedWatches({
            {slashyKey(), "Ann's \"Watch\" a/b\\\n\x01 é", 786543210.123456789},
            {Bytes{0x04}, "", 0.1 + 0.2},
            {Bytes{}, "n", 786000000.0},
        }),
        R"([{"key":"BP)" + slashes +
            R"(AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=","name":"Ann's \"Watch\" a\/b\\\n\u0001 é","pairedAt":786543210.1234568},)"
            R"({"key":"BA==","name":"","pairedAt":0.30000000000000004},)"
            R"({"key":"","name":"n","pairedAt":786000000}])");
    EXPECT_EQ(*encodeTrustedWatches({}), "[]");
    EXPECT_FALSE(encodeTrustedWatches({{Bytes{4}, "x", std::nan("")}}));
    EXPECT_FALSE(encodeTrustedWatches({{Bytes{4}, "x", INFINITY}}));
}

TEST(TrustedWatchJson, decode_acceptsAnyLayoutButRefusesTheWholeListForAnyMalformedElement) {
    // Every other slash of the key escaped.
    std::string key;
    bool escape = true;
    for (const char c : base64Encode(slashyKey())) {
        key += c == '/' && (escape = !escape) ? "\\/" : std::string(1, c);
    }
    const auto decoded = decodeTrustedWatches(
        toBytes(asBytes(" [ {\"pairedAt\" : 12 ,\n\"extra\": [1, {\"x\": null}], "
                        "\"name\":\"a\\/b/c\\u00e9\",\t\"key\":\"" +
                        key + "\"} ] ")));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, (std::vector<TrustedWatch>{{slashyKey(), "a/b/c\xc3\xa9", 12.0}}));

    // Any malformed element refuses the whole list.
    const std::string good = R"({"key":"BA==","name":"n","pairedAt":1})";
    for (const std::string& bad : std::vector<std::string>{
             "",
             "{}",
             "[" + good,
             "[" + good + ",1]",
             "[" + good + R"(,{"key":"BA==","name":"n"}])",
             R"([{"key":"BA==","name":7,"pairedAt":1}])",
             R"([{"key":"BA==","name":"n","pairedAt":"1"}])",
             R"([{"key":"BA==","name":"n","pairedAt":null}])",
             R"([{"key":"BA==","name":"n","pairedAt":1e999}])",
             R"([{"key":"B A==","name":"n","pairedAt":1}])",
             R"([{"key":"BA==\n","name":"n","pairedAt":1}])",
             "[\"\xc3\x28\"]",
             std::string("\0[]", 3),
         }) {
        EXPECT_FALSE(decodeTrustedWatches(toBytes(asBytes(bad)))) << bad;
    }
}

TEST(Base64, decode_isStrictAboutPaddingAndAlphabet) {
    EXPECT_EQ(*base64Decode("+/+/"), (Bytes{0xfb, 0xff, 0xbf}));
    for (const char* bad :
         {"A", "AA", "AA=", "A===", "====", "AA=A", "=AAA", "AAAA=AAA", "AA*A", "-_=="}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
    for (std::size_t length = 0; length < 8; ++length) {
        Bytes bytes(length, 0xa5);
        EXPECT_EQ(*base64Decode(base64Encode(bytes)), bytes);
    }
}

} // namespace
} // namespace tovali
