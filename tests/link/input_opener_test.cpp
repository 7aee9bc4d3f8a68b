#include <gtest/gtest.h>

#include "link/input_opener.hpp"
#include "link/wire_messages.hpp"

namespace tovali {
namespace {

SymmetricKey keyFilledWith(std::uint8_t value) {
    SymmetricKey key{};
    key.fill(value);
    return key;
}

/// A move packet tagged the way a watch tags it.
Bytes movePacket(const SymmetricKey& key, std::uint32_t sequence, std::int16_t dx = 3,
                 std::int16_t dy = -4) {
    Bytes packet{0x10};
    for (int shift = 0; shift < 32; shift += 8)
        packet.push_back(static_cast<std::uint8_t>(sequence >> shift));
    for (std::int16_t value : {dx, dy}) {
        packet.push_back(static_cast<std::uint8_t>(value));
        packet.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8));
    }
    Digest tag = crypto::HmacSha256(key).tag(packet);
    packet.insert(packet.end(), tag.begin(), tag.begin() + tagLength);
    return packet;
}

class InputOpenerTest : public ::testing::Test {
protected:
    /// Opens the packet and, as the server does, keeps the advanced opener on success.
    bool open(const Bytes& packet) {
        auto opened = openPacket(opener, packet);
        if (opened)
            opener = opened->opener;
        return opened.has_value();
    }

    SymmetricKey key = keyFilledWith(0x42);
    InputOpener opener{key};
};

TEST_F(InputOpenerTest, freshOpener_acceptsOneAndRefusesZeroAndReplays) {
    EXPECT_FALSE(open(movePacket(key, 0)));
    auto opened = openPacket(opener, movePacket(key, 1, -7, 9));
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->event, InputEvent(MoveInput{-7, 9}));
    EXPECT_EQ(opened->opener.lastSequence(), 1u);
    EXPECT_EQ(opener.lastSequence(), 0u) << "opening must not change the given opener";

    opener = opened->opener;
    EXPECT_FALSE(open(movePacket(key, 1, -7, 9)));
    EXPECT_FALSE(open(movePacket(keyFilledWith(0x41), 2))) << "another session's key";
}

TEST_F(InputOpenerTest, sequence_mustGrowButMaySkip) {
    ASSERT_TRUE(open(movePacket(key, 10)));
    EXPECT_FALSE(open(movePacket(key, 9)));
    EXPECT_FALSE(open(movePacket(key, 10)));
    EXPECT_TRUE(open(movePacket(key, 500)));
    // Compared unsigned: the top bit is a large number, not a negative one.
    EXPECT_TRUE(open(movePacket(key, 0x80000000u)));
    EXPECT_FALSE(open(movePacket(key, 0x7fffffffu)));
    EXPECT_TRUE(open(movePacket(key, 0xffffffffu)));
    EXPECT_FALSE(open(movePacket(key, 0xffffffffu)));
    EXPECT_FALSE(open(movePacket(key, 0))) << "no wrap-around after the largest sequence";
    EXPECT_EQ(opener.lastSequence(), 0xffffffffu);
}

TEST_F(InputOpenerTest, anyAlteredByte_failsTheTagAndChangesNothing) {
    ASSERT_TRUE(open(movePacket(key, 10)));
    const Bytes good = movePacket(key, 11);
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (std::uint8_t flip : {0x01, 0x80}) {
            Bytes altered = good;
            altered[i] ^= flip;
            EXPECT_FALSE(open(altered)) << "byte " << i;
            EXPECT_EQ(opener.lastSequence(), 10u);
        }
    }
    EXPECT_TRUE(open(good));
}

} // namespace
} // namespace tovali
