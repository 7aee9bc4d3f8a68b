#include "support/session_bus.hpp"

#include <cstdlib>
#include <fstream>

namespace tovali::test {

SessionBus::SessionBus(const std::string& extraConfig) {
    if (folder_.path().empty()) {
        error_ = "cannot make a folder for the session bus";
        return;
    }
    const std::string& folder = folder_.path();
    // The session type without <standard_session_servicedirs/>: the installed service files
    // would start the desktop's own keyring daemon on demand.
    std::ofstream(folder + "/bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path="
        << folder
        << "/socket</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
        << extraConfig << "\n</busconfig>\n";

    const char* path = std::getenv("PATH");
    // The address is printed once the bus accepts connections.
    address_ = startServer(
        daemon_,
        {"dbus-daemon", "--config-file=" + folder + "/bus.conf", "--nofork", "--print-address"},
        {"PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin")}, folder + "/bus.log",
        error_);
}

SessionBus::~SessionBus() {
    daemon_.stop();
}

} // namespace tovali::test
