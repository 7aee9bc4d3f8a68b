#include "server/computer_key.hpp"

#include <string>

namespace tovali {

std::array<KeychainQuery, 2> computerKeyQueries(const std::string& account) {
    return {KeychainQuery{computerKeyService, account, KeychainVariant::dataProtection},
            KeychainQuery{computerKeyService, account, KeychainVariant::legacy}};
}

std::optional<Bytes> readComputerKey(Keychain& keychain, const std::string& account) {
    for (const KeychainQuery& query : computerKeyQueries(account)) {
        KeychainReadResult result = keychain.copyMatching(query);
        if (result.status == keychain_status::success && result.data) {
            return std::move(result.data);
        }
    }
    return std::nullopt;
}

void saveComputerKey(Keychain& keychain, SystemLog& log, ByteView data,
                     const std::string& account) {
    for (const KeychainQuery& query : computerKeyQueries(account)) {
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

crypto::PrivateKey loadOrCreateComputerKey(Keychain& keychain, SystemLog& log,
                                           const std::string& account) {
    if (std::optional<Bytes> stored = readComputerKey(keychain, account)) {
        std::optional<crypto::PrivateKey> key = crypto::PrivateKey::fromRaw(*stored);
        crypto::cleanse(*stored);
        if (key) {
            return *key;
        }
    }
    crypto::PrivateKey key = crypto::PrivateKey::generate();
    saveComputerKey(keychain, log, key.raw(), account);
    return key;
}

} // namespace tovali
