#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tovali::files {

/// The name of our folder inside the XDG base folders.
inline constexpr std::string_view appFolderName = "tovali";

/// $HOME when it is an absolute path, else the home folder in the user database.
std::optional<std::string> homeFolder();
/// $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share.
std::optional<std::string> dataHome();
/// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config.
std::optional<std::string> configHome();

} // namespace tovali::files
