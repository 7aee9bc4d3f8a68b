#include <gtest/gtest.h>

#include "link/key_schedule.hpp"
#include "support/hex.hpp"

namespace tovali {
namespace {

struct PairingValues {
    PublicKeyBytes watchKey = crypto::PrivateKey::generate().publicKey();
    PublicKeyBytes computerKey = crypto::PrivateKey::generate().publicKey();
    Nonce watchNonce = makeNonce();
    Nonce computerNonce = makeNonce();

    Digest commitment() const { return pairingCommitment(watchKey, computerKey, computerNonce); }
    std::string code() const {
        return confirmationCode(watchKey, computerKey, watchNonce, computerNonce);
    }
};

Digest digestStartingWith(std::string_view prefix) {
    Digest digest{};
    Bytes head = test::hex(prefix);
    std::copy(head.begin(), head.end(), digest.begin());
    return digest;
}

TEST(ConfirmationCode, fromDigest_readsEightBytesBigEndianModuloAMillion) {
    EXPECT_EQ(confirmationCodeFromDigest(digestStartingWith("000000000001e240")), "123 456");
    EXPECT_EQ(confirmationCodeFromDigest(digestStartingWith("000000003b9aca07")), "000 007");
    EXPECT_EQ(confirmationCodeFromDigest(digestStartingWith("ffffffffffffffff")), "551 615");
    EXPECT_EQ(confirmationCodeFromDigest(digestStartingWith("0000000000000000")), "000 000");
    // Bytes past the eighth do not count.
    Digest tail = digestStartingWith("0000000000000001");
    tail[8] = 0xff;
    EXPECT_EQ(confirmationCodeFromDigest(tail), "000 001");
}

TEST(ConfirmationCode, anyPairing_isThreeDigitsSpaceThreeDigits) {
    for (int i = 0; i < 50; ++i) {
        std::string code = PairingValues{}.code();
        ASSERT_EQ(code.size(), 7u) << code;
        for (std::size_t j = 0; j < code.size(); ++j)
            EXPECT_TRUE(j == 3 ? code[j] == ' ' : std::isdigit(static_cast<unsigned char>(code[j])))
                << code;
    }
}

TEST(PairingCommitment, anyChangedByte_changesTheCommitmentAndTheCode) {
    const PairingValues base;
    auto flipEachByte = [&](auto member, bool committed) {
        for (std::size_t i = 0; i < (base.*member).size(); ++i) {
            PairingValues changed = base;
            (changed.*member)[i] ^= 0x01;
            if (committed) {
                EXPECT_NE(changed.commitment(), base.commitment()) << i;
            }
            EXPECT_NE(confirmationDigest(changed.watchKey, changed.computerKey, changed.watchNonce,
                                         changed.computerNonce),
                      confirmationDigest(base.watchKey, base.computerKey, base.watchNonce,
                                         base.computerNonce))
                << i;
        }
    };
    flipEachByte(&PairingValues::watchKey, true);
    flipEachByte(&PairingValues::computerKey, true);
    flipEachByte(&PairingValues::watchNonce, false); // the commitment comes before W
    flipEachByte(&PairingValues::computerNonce, true);
}

TEST(ConfirmationCode, swappedNonces_giveAnotherDigest) {
    const PairingValues v;
    EXPECT_NE(confirmationDigest(v.watchKey, v.computerKey, v.watchNonce, v.computerNonce),
              confirmationDigest(v.watchKey, v.computerKey, v.computerNonce, v.watchNonce));
}

TEST(DeriveSessionKey, bothSidesAgree_andEachSaltGivesItsOwnKey) {
    crypto::PrivateKey computer = crypto::PrivateKey::generate();
    crypto::PrivateKey watch = crypto::PrivateKey::generate();
    const Nonce first = makeNonce();
    const Nonce second = makeNonce();

    auto computerSide = deriveSessionKey(computer, watch.publicKey(), first);
    auto watchSide = deriveSessionKey(watch, computer.publicKey(), first);
    auto nextSession = deriveSessionKey(computer, watch.publicKey(), second);
    ASSERT_TRUE(computerSide && watchSide && nextSession);
    EXPECT_EQ(*computerSide, *watchSide);
    EXPECT_NE(*computerSide, *nextSession);
}

TEST(DeriveSessionKey, keyOffTheCurve_fails) {
    crypto::PrivateKey computer = crypto::PrivateKey::generate();
    PublicKeyBytes offCurve = crypto::PrivateKey::generate().publicKey();
    offCurve[64] ^= 0x01;
    EXPECT_FALSE(deriveSessionKey(computer, offCurve, makeNonce()));
    PublicKeyBytes zeros{};
    zeros[0] = 0x04;
    EXPECT_FALSE(deriveSessionKey(computer, zeros, makeNonce()));
}

} // namespace
} // namespace tovali
