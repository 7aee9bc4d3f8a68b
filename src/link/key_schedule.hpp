#pragma once

#include <optional>
#include <string>

#include "common/bytes.hpp"
#include "link/crypto.hpp"

namespace tovali {

/// 16 bytes from the system's secure random source: pairing nonces and session salts.
Nonce makeNonce();

/// SHA-256 over the commit label, the watch key K, the computer key P and the nonce M.
Digest pairingCommitment(const PublicKeyBytes& watchKey, const PublicKeyBytes& computerKey,
                         const Nonce& computerNonce);

/// The digest the six-digit code is read from: over the code label, K, P, W and M.
Digest confirmationDigest(const PublicKeyBytes& watchKey, const PublicKeyBytes& computerKey,
                          const Nonce& watchNonce, const Nonce& computerNonce);

/// "ddd ddd" from the first 8 digest bytes, big-endian, modulo one million.
std::string confirmationCodeFromDigest(const Digest& digest);

/// The code that both screens show for one pairing.
std::string confirmationCode(const PublicKeyBytes& watchKey, const PublicKeyBytes& computerKey,
                             const Nonce& watchNonce, const Nonce& computerNonce);

/// A session's key from the two long-term keys and the session's salt; none when the
/// watch key is not a P-256 point or the key agreement fails.
std::optional<SymmetricKey> deriveSessionKey(const crypto::PrivateKey& computerKey,
                                             const PublicKeyBytes& watchKey, const Nonce& salt);

} // namespace tovali
