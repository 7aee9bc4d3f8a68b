#include "support/session_bus.hpp"

#include <fstream>

namespace tovali::test {

SessionBus::SessionBus() {
    const std::string& folder = folder_.path();
    if (folder.empty()) {
        error_ = "cannot make a folder for the session bus";
        return;
    }
    // The session type without <standard_session_servicedirs/>: the installed service files
    // would start the desktop's own keyring daemon on demand.
    std::ofstream(folder + "/bus.conf")
        << "<busconfig><type>session</type><listen>unix:path=" << folder
        << "/socket</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    // The address is printed once the bus accepts connections.
    address_ = startServer(
        daemon_,
        {"dbus-daemon", "--config-file=" + folder + "/bus.conf", "--nofork", "--print-address"},
        {"PATH=/usr/bin:/bin"}, folder + "/bus.log", error_);
}

} // namespace tovali::test
