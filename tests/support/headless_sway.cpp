#include "support/headless_sway.hpp"

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tovali::test {

HeadlessSway::HeadlessSway() {
    const std::string& folder = folder_.path();
    // nobody (65534) reads the configuration beside its 0700 runtime folder.
    if (folder.empty() || ::chmod(folder.c_str(), 0755) != 0 ||
        ::mkdir(runtime_.c_str(), 0700) != 0 ||
        (::geteuid() == 0 && ::chown(runtime_.c_str(), 65534, 65534) != 0)) {
        error_ = "cannot make a runtime folder for sway";
        return;
    }
    // sway runs what the configuration executes once it serves: the socket's name says it does.
    std::ofstream(folder + "/config") << "output HEADLESS-1 resolution 1280x720 position 0 0\n"
                                         "xwayland disable\n"
                                         "default_border none\n"
                                         "exec echo $WAYLAND_DISPLAY\n";
    error_ = start();
}

std::string HeadlessSway::start() {
    std::vector<std::string> argv;
    if (::geteuid() == 0)
        argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.insert(argv.end(), {"sway", "-c", folder_.path() + "/config"});
    std::string error;
    const std::string name =
        startServer(sway_, argv,
                    {"PATH=/usr/bin:/bin", "HOME=" + runtime_, "XDG_RUNTIME_DIR=" + runtime_,
                     "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
                     "WLR_HEADLESS_OUTPUTS=1"},
                    folder_.path() + "/sway.log", error);
    socket_ = runtime_ + "/" + name;
    return error;
}

} // namespace tovali::test
