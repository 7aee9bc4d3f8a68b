#include "support/xvfb_server.hpp"

namespace tovali::test {

XvfbServer::XvfbServer(int width, int height) {
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    // With -displayfd, Xvfb picks a free display itself and prints its number once it accepts
    // clients.
    const std::string number = startServer(
        server_,
        {"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
        currentEnvironment(), folder_.path() + "/xvfb.log", error_);
    if (!number.empty())
        displayName_ = ":" + number;
}

} // namespace tovali::test
