#include "link/key_schedule.hpp"

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace tovali {

namespace {
// The watch hashes the same labels; they are part of the protocol, not of the product name.
constexpr std::string_view commitLabel = "Orvanel commit v1";
constexpr std::string_view codeLabel = "Orvanel code v1";
constexpr std::string_view sessionLabel = "Orvanel session v1";
} // namespace

Nonce makeNonce() {
    Nonce nonce{};
    crypto::randomBytes(nonce);
    return nonce;
}

Digest pairingCommitment(const PublicKeyBytes& watchKey, const PublicKeyBytes& computerKey,
                         const Nonce& computerNonce) {
    return crypto::sha256({asBytes(commitLabel), watchKey, computerKey, computerNonce});
}

Digest confirmationDigest(const PublicKeyBytes& watchKey, const PublicKeyBytes& computerKey,
                          const Nonce& watchNonce, const Nonce& computerNonce) {
    return crypto::sha256({asBytes(codeLabel), watchKey, computerKey, watchNonce, computerNonce});
}

std::string confirmationCodeFromDigest(const Digest& digest) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i)
        value = value << 8 | digest[i];
    const auto code = static_cast<unsigned>(value % 1'000'000u);
    char text[8];
    std::snprintf(text, sizeof text, "%03u %03u", code / 1000, code % 1000);
    return text;
}

std::string confirmationCode(const PublicKeyBytes& watchKey, const PublicKeyBytes& computerKey,
                             const Nonce& watchNonce, const Nonce& computerNonce) {
    return confirmationCodeFromDigest(
        confirmationDigest(watchKey, computerKey, watchNonce, computerNonce));
}

std::optional<SymmetricKey> deriveSessionKey(const crypto::PrivateKey& computerKey,
                                             const PublicKeyBytes& watchKey, const Nonce& salt) {
    auto peer = crypto::PublicKey::fromX963(watchKey);
    if (!peer)
        return std::nullopt;
    auto secret = crypto::ecdh(computerKey, *peer);
    if (!secret)
        return std::nullopt;
    return crypto::hkdfSha256(*secret, salt, asBytes(sessionLabel));
}

} // namespace tovali
