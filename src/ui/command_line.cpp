#include "ui/command_line.hpp"

#include <string_view>

namespace tovali {

// Single-dash options are Qt's own (-platform, -style, …): QApplication reads them.
std::variant<CommandLine, std::string> parseCommandLine(std::span<char* const> arguments) {
    CommandLine line;
    for (std::string_view argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            line.help = true;
        } else if (argument.starts_with("--pointer=")) {
            const auto choice =
                pointerChoice(argument.substr(std::string_view("--pointer=").size()));
            if (!choice)
                return "unknown pointer route in " + std::string(argument) +
                       " (use auto, x11, wlroots or portal)";
            line.pointer = *choice;
        } else if (argument.starts_with("--")) {
            return "unknown option " + std::string(argument) + " (see --help)";
        }
    }
    return line;
}

std::string helpText() {
    return "Usage: tovali [options]\n"
           "Lets a paired watch move this computer's pointer over Bluetooth LE.\n"
           "\n"
           "  --pointer=ROUTE  how pointer events reach the desktop: auto (the default),\n"
           "                   x11 (XTest), wlroots (the wlroots virtual pointer) or\n"
           "                   portal (the RemoteDesktop portal)\n"
           "  -h, --help       print this help and exit\n";
}

} // namespace tovali
