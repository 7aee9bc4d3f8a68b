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

Digest pairingCommitment(const PublicKeyBytes& watchKey, const PublicKeyBytes& macKey,
                         const Nonce& macNonce) {
    return crypto::sha256({asBytes(commitLabel), watchKey, macKey, macNonce});
}

Digest confirmationDigest(const PublicKeyBytes& watchKey, const PublicKeyBytes& macKey,
                          const Nonce& watchNonce, const Nonce& macNonce) {
    return crypto::sha256({asBytes(codeLabel), watchKey, macKey, watchNonce, macNonce});
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

std::string confirmationCode(const PublicKeyBytes& watchKey, const PublicKeyBytes& macKey,
                             const Nonce& watchNonce, const Nonce& macNonce) {
    return confirmationCodeFromDigest(confirmationDigest(watchKey, macKey, watchNonce, macNonce));
}

std::optional<SymmetricKey> deriveSessionKey(const crypto::PrivateKey& macKey,
                                             const PublicKeyBytes& watchKey, const Nonce& salt) {
    auto peer = crypto::PublicKey::fromX963(watchKey);
    if (!peer)
        return std::nullopt;
    auto secret = crypto::ecdh(macKey, *peer);
    if (!secret)
        return std::nullopt;
    return crypto::hkdfSha256(*secret, salt, asBytes(sessionLabel));
}

} // namespace tovali
