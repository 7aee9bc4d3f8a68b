#include <gtest/gtest.h>

#include "link/wire_messages.hpp"
#include "support/hex.hpp"

namespace tovali {
namespace {

using test::hex;

Bytes concat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (ByteView part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

const Bytes someKey = concat({Bytes{0x04}, Bytes(64, 0x5a)});
const Bytes tag8(8, 0xee);

TEST(ParseRequest, nonceAndHello_decodeTheirFields) {
    auto nonce = parseRequest(concat({hex("0202"), Bytes(16, 0x33)}));
    ASSERT_TRUE(nonce);
    EXPECT_EQ(std::get<NonceRequest>(*nonce).nonce, (fixedBytes<16>(Bytes(16, 0x33)).value()));

    auto named = parseRequest(concat({hex("0201"), someKey, asBytes("Wrist")}));
    ASSERT_TRUE(named);
    const auto& hello = std::get<HelloRequest>(*named);
    EXPECT_EQ(Bytes(hello.key.begin(), hello.key.end()), someKey);
    EXPECT_EQ(hello.name, "Wrist");
    EXPECT_EQ(std::get<HelloRequest>(*parseRequest(concat({hex("0201"), someKey}))).name, "");
    // Any 65 bytes parse; whether they form a point is decided later.
    EXPECT_TRUE(parseRequest(concat({hex("0201"), Bytes(65, 0)})));
}

TEST(ParseRequest, wrongHeaderOrLength_isMalformed) {
    for (const Bytes& bytes : {
             Bytes{}, hex("02"), hex("00"), hex("0201"), hex("0202"),
             concat({hex("0202"), Bytes(15, 0x33)}), concat({hex("0202"), Bytes(17, 0x33)}),
             concat({hex("0201"), Bytes(64, 0x04)}),
             concat({hex("0102"), Bytes(16, 0)}),                                 // version 1
             concat({hex("0203"), Bytes(16, 0)}),                                 // unknown kind
             concat({hex("0200"), Bytes(16, 0)}), concat({hex("0281"), someKey}), // a reply kind
         })
        EXPECT_FALSE(parseRequest(bytes)) << toHex(bytes);
}

TEST(EncodeReply, eachKind_hasItsHeaderAndLength) {
    const auto computerKey = fixedBytes<65>(someKey).value();
    Nonce salt{};
    salt.fill(0x11);
    Digest commitment{};
    commitment.fill(0x22);

    EXPECT_EQ(encodeReply(RejectedReply{}), hex("0284"));
    EXPECT_EQ(encodeReply(BusyReply{}), hex("0285"));
    EXPECT_EQ(encodeReply(SessionOpenReply{computerKey, salt}),
              concat({hex("0281"), someKey, salt}));
    EXPECT_EQ(encodeReply(PairingCommitReply{computerKey, commitment}),
              concat({hex("0282"), someKey, commitment}));
    EXPECT_EQ(encodeReply(PairingRevealReply{salt}), concat({hex("0283"), salt}));
}

TEST(ParseInputPacket, wellFormedKinds_decodeLittleEndianFields) {
    auto move = parseInputPacket(concat({hex("1005000000ffff0100"), tag8}));
    ASSERT_TRUE(move);
    EXPECT_EQ(move->sequence, 5u);
    EXPECT_EQ(move->event, InputEvent(MoveInput{-1, 1}));
    EXPECT_EQ(toBytes(move->authenticated()), hex("1005000000ffff0100"));
    EXPECT_EQ(toBytes(move->tag), tag8);

    auto scroll = parseInputPacket(concat({hex("11ffffffff00800080"), tag8}));
    ASSERT_TRUE(scroll);
    EXPECT_EQ(scroll->sequence, 0xffffffffu);
    EXPECT_EQ(scroll->event, InputEvent(ScrollInput{-32768, -32768}));

    auto button = parseInputPacket(concat({hex("12010000000102"), tag8}));
    ASSERT_TRUE(button);
    EXPECT_EQ(button->event, InputEvent(ButtonInput{MouseButton::right, ButtonAction::click}));
}

TEST(ParseInputPacket, badKindLengthOrValues_isNone) {
    for (const Bytes& bytes : {
             concat({hex("12010000000200"), tag8}),       // button byte 2
             concat({hex("12010000000003"), tag8}),       // action byte 3
             concat({hex("1201000000000000"), tag8}),     // 3-byte button payload
             concat({hex("120100000000000000"), tag8}),   // 17 bytes of kind 0x12
             concat({hex("10010000000100010000"), tag8}), // 5-byte move payload
             concat({hex("100100000000"), tag8}),         // 14 bytes
             concat({hex("1301000000010001"), tag8}),     // unknown kind
             Bytes(13, 0x12),
             Bytes{},
         })
        EXPECT_FALSE(parseInputPacket(bytes)) << toHex(bytes);
}

} // namespace
} // namespace tovali
