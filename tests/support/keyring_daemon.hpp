#pragma once

#include <optional>
#include <string>

#include "support/session_bus.hpp"

namespace tovali::test {

/// gnome-keyring-daemon's Secret Service on a private session bus, with a home of its own so that
/// no real keyring is read or written. It is ready, with an unlocked default collection, when
/// running() is true; otherwise error() says why not.
class KeyringDaemon {
public:
    explicit KeyringDaemon(const SessionBus& bus);

    bool running() const { return !defaultCollection_.empty(); }
    const std::string& error() const { return error_; }

    /// Locks the default collection. Answers why that failed, or none.
    std::optional<std::string> lockDefaultCollection();
    /// Unlocks it with its empty password, as the user would at the prompt, without one.
    std::optional<std::string> unlockDefaultCollection();

private:
    std::string busAddress_;
    TemporaryFolder folder_{"tovali-keyring"};
    ChildProcess daemon_;
    std::string defaultCollection_;
    std::string error_;
};

} // namespace tovali::test
