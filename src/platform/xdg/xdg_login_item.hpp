#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/login_item.hpp"

namespace tovali {

/// Open at login through an XDG autostart desktop entry of this user's, tovali.desktop. The
/// user's settings application may disable the entry instead of removing it (Hidden=true, or
/// GNOME's X-GNOME-Autostart-enabled=false); such an entry counts as not registered.
class XdgLoginItem final : public LoginItem {
public:
    /// An entry in `autostartFolder` that starts `executable`. An empty folder means there is no
    /// home folder to keep the entry in. An entry of the same name in one of the system-wide
    /// folders starts Tovali too, unless the user's entry hides it.
    XdgLoginItem(std::string autostartFolder, std::string executable,
                 std::vector<std::string> systemAutostartFolders = {});
    /// The entry in $XDG_CONFIG_HOME/autostart (~/.config/autostart without it), over those in
    /// the autostart folders of $XDG_CONFIG_DIRS (/etc/xdg without it).
    static XdgLoginItem fromEnvironment(std::string executable);

    bool isRegistered() override;
    /// Writes the entry whole or not at all, replacing one that is there.
    std::optional<std::string> registerItem() override;
    /// Removes the entry, or, where a system-wide entry would still start Tovali, writes one
    /// with Hidden=true over it. An entry that is not there is no failure.
    std::optional<std::string> unregisterItem() override;

private:
    /// The text of the system-wide entry the session would read, or none.
    std::optional<std::string> systemEntry() const;

    std::string folder_;
    std::string executable_;
    std::vector<std::string> systemFolders_;
};

} // namespace tovali
