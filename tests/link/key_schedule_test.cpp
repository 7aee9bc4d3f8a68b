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
    PairingValues swapped = base;
    std::swap(swapped.watchNonce, swapped.computerNonce);
    EXPECT_NE(swapped.code(), base.code());
}

TEST(DeriveSessionKey, bothSidesAgreeEachSaltGivesItsOwnKeyAndPointsOffTheCurveFail) {
    crypto::PrivateKey computer = crypto::PrivateKey::generate();
    crypto::PrivateKey watch = crypto::PrivateKey::generate();
    const Nonce first = makeNonce();
    auto computerSide = deriveSessionKey(computer, watch.publicKey(), first);
    auto watchSide = deriveSessionKey(watch, computer.publicKey(), first);
    auto nextSession = deriveSessionKey(computer, watch.publicKey(), makeNonce());
    ASSERT_TRUE(computerSide && watchSide && nextSession);
    EXPECT_EQ(*computerSide, *watchSide);
    EXPECT_NE(*computerSide, *nextSession);

    PublicKeyBytes offCurve = watch.publicKey();
    offCurve[64] ^= 0x01;
    EXPECT_FALSE(deriveSessionKey(computer, offCurve, first));
}

} // namespace
} // namespace tovali
