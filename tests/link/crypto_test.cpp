#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "link/crypto.hpp"

namespace tovali::crypto {
namespace {

// The link vectors key HMAC only with short keys; this takes the path of a long one.
TEST(HmacSha256, rfc4231Vector_keyLongerThanABlockIsHashedFirst) {
    HmacSha256 hmac(Bytes(131, 0xaa));
    const std::string message = "Test Using Larger Than Block-Size Key - Hash Key First";
    // The keyed state is reused: a second message must not see the first.
    for (int reuse = 0; reuse < 2; ++reuse)
        EXPECT_EQ(toHex(hmac.tag(asBytes(message))),
                  "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
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
