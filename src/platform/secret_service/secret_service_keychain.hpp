#pragma once

#include "platform/keychain.hpp"

namespace tovali {

/// The desktop's Secret Service (gnome-keyring, KWallet, KeePassXC) on the session bus, through
/// libsecret. Items live in the default collection under this application's own schema, keyed by
/// service and account; the query's variant is not looked at.
///
/// Each call opens its own session with the service and drops it again, so a service that starts,
/// restarts or goes away between calls is met as it is now. The calls block, and never show a
/// password prompt: a locked item or collection answers locked. Without a service that answers,
/// both calls answer unavailable.
class SecretServiceKeychain : public Keychain {
public:
    KeychainReadResult copyMatching(const KeychainQuery& query) override;
    KeychainResult add(const KeychainQuery& query, ByteView data) override;
    /// Follows the service's signals about its collections on the session bus.
    Subscription whenChanged(std::function<void()> changed) override;
};

} // namespace tovali
