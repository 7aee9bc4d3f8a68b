#include "support/headless_sway.hpp"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <wayland-client.h>

namespace tovali::test {
namespace {

constexpr uid_t nobody = 65534;

} // namespace

HeadlessSway::HeadlessSway() {
    const std::string& folder = folder_.path();
    if (folder.empty()) {
        error_ = "cannot make a folder for sway";
        return;
    }
    runtime_ = folder + "/run";
    // nobody reads the configuration beside its 0700 runtime folder.
    ::chmod(folder.c_str(), 0755);
    ::mkdir(runtime_.c_str(), 0700);
    if (::geteuid() == 0 && ::chown(runtime_.c_str(), nobody, nobody) != 0)
        error_ = "cannot hand sway's runtime folder to nobody";
    std::ofstream(folder + "/config") << "output HEADLESS-1 resolution 1280x720 position 0 0\n"
                                         "xwayland disable\n"
                                         "default_border none\n";
    error_ += start();
}

HeadlessSway::~HeadlessSway() {
    stop();
}

std::string HeadlessSway::start() {
    const std::string& folder = folder_.path();
    std::vector<std::string> argv;
    if (::geteuid() == 0)
        argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.insert(argv.end(), {"sway", "-c", folder + "/config"});
    const int log =
        ::open((folder + "/sway.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const std::string failed =
        sway_.start(argv,
                    {"PATH=/usr/bin:/bin", "HOME=" + runtime_, "XDG_RUNTIME_DIR=" + runtime_,
                     "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
                     "WLR_HEADLESS_OUTPUTS=1"},
                    log, false, false);
    ::close(log);
    if (!failed.empty())
        return failed;
    // Ready once a client gets through a round trip.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (wl_display* display = wl_display_connect(socket().c_str())) {
            const bool ready = wl_display_roundtrip(display) >= 0;
            wl_display_disconnect(display);
            if (ready)
                return {};
        }
        if (!sway_.exitDescription().empty())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "sway did not start: " + readLogTail(folder + "/sway.log");
}

void HeadlessSway::stop() {
    sway_.stop();
}

} // namespace tovali::test
