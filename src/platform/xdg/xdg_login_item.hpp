#pragma once

#include <optional>
#include <string>

#include "platform/login_item.hpp"

namespace tovali {

/// Open at login through an XDG autostart desktop entry of this user's, tovali.desktop. The
/// user's settings application may disable the entry instead of removing it (Hidden=true, or
/// GNOME's X-GNOME-Autostart-enabled=false); such an entry counts as not registered.
class XdgLoginItem final : public LoginItem {
public:
    /// An entry in `autostartFolder` that starts `executable`. An empty folder means there is no
    /// home folder to keep the entry in.
    XdgLoginItem(std::string autostartFolder, std::string executable);
    /// The entry in $XDG_CONFIG_HOME/autostart (~/.config/autostart without it).
    static XdgLoginItem fromEnvironment(std::string executable);

    bool isRegistered() override;
    /// Writes the entry whole or not at all, replacing one that is there.
    std::optional<std::string> registerItem() override;
    /// Removes the entry; an entry that is not there is no failure.
    std::optional<std::string> unregisterItem() override;

private:
    std::string folder_;
    std::string executable_;
};

} // namespace tovali
