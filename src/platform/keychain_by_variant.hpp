#pragma once

#include <memory>

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
    Subscription whenChanged(std::function<void()> changed) override {
        auto first = std::make_shared<Subscription>(dataProtection_.whenChanged(changed));
        auto second = std::make_shared<Subscription>(legacy_.whenChanged(std::move(changed)));
        return Subscription([first, second] {
            first->reset();
            second->reset();
        });
    }

private:
    Keychain& storeFor(const KeychainQuery& query) {
        return query.variant == KeychainVariant::dataProtection ? dataProtection_ : legacy_;
    }

    Keychain& dataProtection_;
    Keychain& legacy_;
};

} // namespace tovali
