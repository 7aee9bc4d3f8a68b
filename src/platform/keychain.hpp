#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/bytes.hpp"
#include "common/published.hpp"

namespace tovali {

/// What a keychain answers.
enum class KeychainResult {
    success,
    itemNotFound,
    duplicateItem,
    /// The store cannot be used by this process here; the caller falls back to the next one.
    unavailable,
    /// The store is there but locked, and cannot be unlocked without the user.
    locked,
    /// Anything else that went wrong inside the store.
    failed,
};

/// Which of the two stores a query addresses: the preferred one is always asked first.
enum class KeychainVariant {
    /// The desktop's secret store.
    dataProtection,
    /// A private file of this user's.
    legacy,
};

/// One generic-password item: a secret of this user's under a service and an account.
struct KeychainQuery {
    std::string service;
    std::string account;
    KeychainVariant variant = KeychainVariant::dataProtection;
    friend bool operator==(const KeychainQuery&, const KeychainQuery&) = default;
};

struct KeychainReadResult {
    KeychainResult status = KeychainResult::itemNotFound;
    /// The item's secret when the status is success.
    std::optional<Bytes> data;
};

/// A store of small per-user secrets.
class Keychain {
public:
    virtual ~Keychain() = default;

    /// The secret of the one item that matches.
    virtual KeychainReadResult copyMatching(const KeychainQuery& query) = 0;
    /// Adds an item readable only by this user on this computer. An existing item with the same
    /// service and account answers duplicateItem and stays as it is.
    virtual KeychainResult add(const KeychainQuery& query, ByteView data) = 0;
    /// Calls back on the main loop when the store may have changed, such as on being unlocked,
    /// until the subscription is dropped. A store that cannot tell never calls.
    virtual Subscription whenChanged(std::function<void()> changed) {
        static_cast<void>(changed);
        return {};
    }
};

} // namespace tovali
