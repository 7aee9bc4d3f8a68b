#include "server/mac_key_storage.hpp"

#include <string>

namespace tovali {

std::array<KeychainQuery, 2> keychainQueries(const std::string& account) {
    return {KeychainQuery{macKeyService, account, KeychainVariant::dataProtection},
            KeychainQuery{macKeyService, account, KeychainVariant::legacy}};
}

std::optional<Bytes> readKeychainData(Keychain& keychain, const std::string& account) {
    for (const KeychainQuery& query : keychainQueries(account)) {
        KeychainReadResult result = keychain.copyMatching(query);
        if (result.status == keychain_status::success && result.data) {
            return std::move(result.data);
        }
    }
    return std::nullopt;
}

void saveKeychainData(Keychain& keychain, SystemLog& log, ByteView data,
                      const std::string& account) {
    for (const KeychainQuery& query : keychainQueries(account)) {
        const int status = keychain.add(query, data);
        if (status == keychain_status::missingEntitlement) {
            continue;
        }
        // A duplicate counts as done: an existing item is never replaced.
        if (status != keychain_status::success && status != keychain_status::duplicateItem) {
            log.write("Orvanel: could not save the pairing key (" + std::to_string(status) + ")");
        }
        return;
    }
}

crypto::PrivateKey loadOrCreateMacKey(Keychain& keychain, SystemLog& log,
                                      const std::string& account) {
    if (std::optional<Bytes> stored = readKeychainData(keychain, account)) {
        std::optional<crypto::PrivateKey> key = crypto::PrivateKey::fromRaw(*stored);
        crypto::cleanse(*stored);
        if (key) {
            return *key;
        }
    }
    crypto::PrivateKey key = crypto::PrivateKey::generate();
    saveKeychainData(keychain, log, key.raw(), account);
    return key;
}

} // namespace tovali
