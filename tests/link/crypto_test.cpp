#include <string>

#include <gtest/gtest.h>

#include "link/crypto.hpp"
#include "support/hex.hpp"

namespace tovali::crypto {
namespace {

using test::hex;

constexpr std::string_view curveOrder =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
constexpr std::string_view generatorX =
    "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
constexpr std::string_view generatorY =
    "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";

TEST(HmacSha256, rfc4231Vectors_shortBlockAndLongKeys) {
    struct Case {
        Bytes key;
        std::string message;
        std::string_view tag;
    };
    const Case cases[] = {
        {Bytes(20, 0x0b), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {toBytes(asBytes("Jefe")), "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        // Longer than a block: the key itself is hashed first.
        {Bytes(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const Case& c : cases) {
        HmacSha256 hmac(c.key);
        EXPECT_EQ(toHex(hmac.tag(asBytes(c.message))), c.tag);
        // The keyed state is reused: a second message must not see the first.
        EXPECT_EQ(toHex(hmac.tag(asBytes(c.message))), c.tag);
    }
}

TEST(Hkdf, rfc5869Case1_firstThirtyTwoBytes) {
    auto okm =
        hkdfSha256(Bytes(22, 0x0b), hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"));
    ASSERT_TRUE(okm);
    EXPECT_EQ(toHex(*okm), "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf");
}

TEST(Sha256, parts_hashAsTheirConcatenation) {
    EXPECT_EQ(toHex(sha256({asBytes("abc")})),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256({asBytes("a"), asBytes(""), asBytes("bc")}), sha256({asBytes("abc")}));
}

TEST(PrivateKey, fromRaw_acceptsExactlyScalarsOneToOrderMinusOne) {
    auto one = PrivateKey::fromRaw(hex(std::string(62, '0') + "01"));
    ASSERT_TRUE(one);
    EXPECT_EQ(toHex(one->publicKey()), "04" + std::string(generatorX) + std::string(generatorY));

    Bytes orderMinusOne = hex(curveOrder);
    orderMinusOne.back() -= 1;
    auto last = PrivateKey::fromRaw(orderMinusOne);
    ASSERT_TRUE(last);
    // -G shares G's X coordinate.
    EXPECT_EQ(toHex(ByteView(last->publicKey()).subspan(1, 32)), generatorX);

    EXPECT_FALSE(PrivateKey::fromRaw(Bytes(32, 0)));
    EXPECT_FALSE(PrivateKey::fromRaw(hex(curveOrder)));
    EXPECT_FALSE(PrivateKey::fromRaw(Bytes(32, 0xff)));
    EXPECT_FALSE(PrivateKey::fromRaw(Bytes(31, 0x11)));
    EXPECT_FALSE(PrivateKey::fromRaw(Bytes(33, 0x11)));
    EXPECT_FALSE(PrivateKey::fromRaw({}));
}

TEST(PublicKey, fromX963_acceptsOnlyUncompressedCurvePoints) {
    const Bytes generator = hex("04" + std::string(generatorX) + std::string(generatorY));
    EXPECT_TRUE(PublicKey::fromX963(generator));

    Bytes tooShort(generator.begin(), generator.end() - 1);
    Bytes tooLong = generator;
    tooLong.push_back(0);
    Bytes hybrid = generator; // OpenSSL would read 06/07 as the hybrid form
    hybrid[0] = 0x07;
    Bytes offCurve = generator;
    offCurve.back() ^= 1;
    for (const Bytes& bad : {tooShort, tooLong, hybrid, offCurve, Bytes(65, 0), Bytes{}})
        EXPECT_FALSE(PublicKey::fromX963(bad)) << toHex(bad);
}

} // namespace
} // namespace tovali::crypto
