#pragma once

#include <array>
#include <optional>
#include <string>

#include "common/bytes.hpp"
#include "link/crypto.hpp"
#include "platform/keychain.hpp"
#include "platform/system_log.hpp"

namespace tovali {

inline constexpr const char* macKeyService = "Orvanel";
inline constexpr const char* macKeyAccount = "mac-p256";

/// The two places the key may live, the preferred one first.
std::array<KeychainQuery, 2> keychainQueries(const std::string& account);

/// The bytes of the first variant that holds the item, or nothing.
std::optional<Bytes> readKeychainData(Keychain& keychain, const std::string& account);

/// Adds the item, falling back from a store this process may not use; a failure is logged once.
void saveKeychainData(Keychain& keychain, SystemLog& log, ByteView data,
                      const std::string& account);

/// The computer's long-term key: the stored one, or a new one that is stored for next time.
/// Never fails; a key that could not be stored serves this process only.
crypto::PrivateKey loadOrCreateMacKey(Keychain& keychain, SystemLog& log,
                                      const std::string& account);

} // namespace tovali
