#pragma once

#include <functional>
#include <string>

#include "common/published.hpp"

namespace tovali {

/// The user's permission for this process to post input events, and the system's place where it
/// is switched on.
class Accessibility {
public:
    virtual ~Accessibility() = default;

    /// May this process post pointer events now. Cheap enough to poll.
    virtual bool isProcessTrusted() = 0;
    /// Asks the system to prompt the user for the permission, where it has such a prompt.
    virtual void promptForPermission() = 0;
    /// Opens the settings page where the permission is switched on, where there is one.
    virtual void openSettings() = 0;
    /// The name of the settings list that holds the switch, for the texts that point to it.
    virtual std::string settingsListName() = 0;
    /// Calls back whenever the settings application comes to the front, until the subscription
    /// ends.
    [[nodiscard]] virtual Subscription whenSettingsComeToFront(std::function<void()> callback) = 0;
};

} // namespace tovali
