#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "link/crypto.hpp"

namespace tovali::crypto {
namespace {

// The link vectors key HMAC only with short keys; these also take the path of a long one.
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

TEST(PrivateKey, fromRaw_acceptsExactlyTheScalarsOneToOrderMinusOne) {
    const std::string order = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
    for (const auto& [raw, valid] : std::vector<std::pair<std::string, bool>>{
             {std::string(62, '0') + "01", true},
             {order.substr(0, 62) + "50", true},
             {order, false},
             {std::string(64, 'f'), false},
             {std::string(64, '0'), false},
         }) {
        EXPECT_EQ(PrivateKey::fromRaw(fromHex(raw).value()).has_value(), valid) << raw;
    }
}

} // namespace
} // namespace tovali::crypto
