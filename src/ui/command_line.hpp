#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>

#include "ui/pointer_route.hpp"

namespace tovali {

struct CommandLine {
    PointerChoice pointer = PointerChoice::automatic;
    bool help = false;
};

/// The options after the program's name, or what to tell the user when they make no sense.
std::variant<CommandLine, std::string> parseCommandLine(std::span<char* const> arguments);

/// What `--help` prints.
std::string helpText();

} // namespace tovali
