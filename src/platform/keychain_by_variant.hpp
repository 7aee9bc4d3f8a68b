#pragma once

#include "platform/keychain.hpp"

namespace tovali {

/// One keychain made of two stores: queries for the preferred variant go to the first, legacy
/// ones to the second.
class KeychainByVariant : public Keychain {
public:
    KeychainByVariant(Keychain& dataProtection, Keychain& legacy)
        : dataProtection_(dataProtection), legacy_(legacy) {}

    KeychainReadResult copyMatching(const KeychainQuery& query) override {
        return storeFor(query).copyMatching(query);
    }
    KeychainResult add(const KeychainQuery& query, ByteView data) override {
        return storeFor(query).add(query, data);
    }

private:
    Keychain& storeFor(const KeychainQuery& query) {
        return query.variant == KeychainVariant::dataProtection ? dataProtection_ : legacy_;
    }

    Keychain& dataProtection_;
    Keychain& legacy_;
};

} // namespace tovali
