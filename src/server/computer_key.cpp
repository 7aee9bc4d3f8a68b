#include "server/computer_key.hpp"

#include <string>

namespace tovali {
namespace {

// The numbers this line has always logged, so that old and new logs read alike.
int loggedStatus(KeychainResult result) {
    switch (result) {
    case KeychainResult::success:
        return 0;
    case KeychainResult::itemNotFound:
        return -25300;
    case KeychainResult::duplicateItem:
        return -25299;
    case KeychainResult::unavailable:
        return -34018;
    case KeychainResult::locked:
        return -25308;
    case KeychainResult::failed:
        break;
    }
    return -26276;
}

} // namespace

std::array<KeychainQuery, 2> computerKeyQueries(const std::string& account) {
    return {KeychainQuery{computerKeyService, account, KeychainVariant::dataProtection},
            KeychainQuery{computerKeyService, account, KeychainVariant::legacy}};
}

namespace {

std::optional<Bytes> readStored(Keychain& keychain, const std::string& account, bool& locked) {
    locked = false;
    for (const KeychainQuery& query : computerKeyQueries(account)) {
        KeychainReadResult result = keychain.copyMatching(query);
        if (result.status == KeychainResult::success && result.data) {
            return std::move(result.data);
        }
        locked = locked || result.status == KeychainResult::locked;
    }
    return std::nullopt;
}

} // namespace

std::optional<Bytes> readComputerKey(Keychain& keychain, const std::string& account) {
    bool locked = false;
    return readStored(keychain, account, locked);
}

void saveComputerKey(Keychain& keychain, SystemLog& log, ByteView data,
                     const std::string& account) {
    for (const KeychainQuery& query : computerKeyQueries(account)) {
        const KeychainResult status = keychain.add(query, data);
        if (status == KeychainResult::unavailable) {
            continue;
        }
        // A duplicate counts as done: an existing item is never replaced.
        if (status != KeychainResult::success && status != KeychainResult::duplicateItem) {
            log.write("Orvanel: could not save the pairing key (" +
                      std::to_string(loggedStatus(status)) + ")");
        }
        return;
    }
}

std::optional<crypto::PrivateKey> loadComputerKeyUnlessLocked(Keychain& keychain, SystemLog& log,
                                                              const std::string& account) {
    bool locked = false;
    if (std::optional<Bytes> stored = readStored(keychain, account, locked)) {
        std::optional<crypto::PrivateKey> key = crypto::PrivateKey::fromRaw(*stored);
        crypto::cleanse(*stored);
        if (key) {
            return key;
        }
    } else if (locked) {
        // The key every paired watch knows may be behind the lock: a new one would fail them all.
        return std::nullopt;
    }
    crypto::PrivateKey key = crypto::PrivateKey::generate();
    saveComputerKey(keychain, log, key.raw(), account);
    return key;
}

crypto::PrivateKey loadOrCreateComputerKey(Keychain& keychain, SystemLog& log,
                                           const std::string& account) {
    if (std::optional<crypto::PrivateKey> key =
            loadComputerKeyUnlessLocked(keychain, log, account)) {
        return *key;
    }
    crypto::PrivateKey key = crypto::PrivateKey::generate();
    saveComputerKey(keychain, log, key.raw(), account);
    return key;
}

std::string lockedKeychainLogLine() {
    return "Orvanel: could not save the pairing key (" +
           std::to_string(loggedStatus(KeychainResult::locked)) + ")";
}

} // namespace tovali
