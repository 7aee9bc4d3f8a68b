#pragma once

#include <array>
#include <optional>
#include <string>

#include "common/bytes.hpp"
#include "link/crypto.hpp"
#include "platform/keychain.hpp"
#include "platform/system_log.hpp"

namespace tovali {

// As earlier versions stored them: other names would lose every pairing.
inline constexpr const char* computerKeyService = "Orvanel";
inline constexpr const char* computerKeyAccount = "mac-p256";

/// The two places the key may live, the preferred one first.
std::array<KeychainQuery, 2> computerKeyQueries(const std::string& account);

/// The bytes of the first variant that holds the item, or nothing.
std::optional<Bytes> readComputerKey(Keychain& keychain, const std::string& account);

/// Adds the item, falling back from a store this process may not use; a failure is logged once.
void saveComputerKey(Keychain& keychain, SystemLog& log, ByteView data, const std::string& account);

/// The stored key, or a new one that is stored for next time; none while a store answers that
/// it is locked and none yields the key, since the key may be behind that lock.
std::optional<crypto::PrivateKey> loadComputerKeyUnlessLocked(Keychain& keychain, SystemLog& log,
                                                              const std::string& account);

/// The line logged once when the key waits for a locked store.
std::string lockedKeychainLogLine();

/// The computer's long-term key: the stored one, or a new one that is stored for next time.
/// Never fails; a key that could not be stored serves this process only.
crypto::PrivateKey loadOrCreateComputerKey(Keychain& keychain, SystemLog& log,
                                           const std::string& account);

} // namespace tovali
