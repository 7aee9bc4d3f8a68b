#include "app_world.hpp"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Xlib last: its macros (None, Bool, Status) clash with Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace tovali::test {
namespace {

/// A window property's items, as Xlib hands them back (32-bit items widened to long).
template <typename Item>
std::vector<Item> property(Display* display, Window window, const char* name, Atom type) {
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 1024, False, type,
                           &actualType, &format, &count, &after, &data) != Success ||
        !data)
        return {};
    const auto* items = reinterpret_cast<const Item*>(data);
    std::vector<Item> values(items, items + count);
    XFree(data);
    return values;
}

} // namespace

AppWorld::AppWorld(Bluetooth bluetooth) {
    if (bluetooth == Bluetooth::standIn)
        systemBus_ = std::make_unique<SessionBus>();
    if (!xvfb_.running()) {
        error_ = "no X server: " + xvfb_.error();
    } else if ((systemBus_ && !systemBus_->running()) || !sessionBus_.running()) {
        error_ = "no bus: " + (systemBus_ ? systemBus_->error() : "") + sessionBus_.error();
    } else if (home_.path().empty()) {
        error_ = "no home folder";
    } else if (!(display_ = XOpenDisplay(xvfb_.displayName().c_str()))) {
        error_ = "cannot open " + xvfb_.displayName();
    } else if (systemBus_) {
        bluez_ = std::make_unique<BluezStandIn>(QString::fromStdString(systemBus_->address()));
        if (!bluez_->running())
            error_ = "the bluetoothd stand-in did not start";
    }
}

AppWorld::~AppWorld() {
    app_.stop();
    if (logFd_ >= 0)
        ::close(logFd_);
    bluez_.reset();
    if (display_)
        XCloseDisplay(display_);
}

std::string AppWorld::launch(const std::string& executable,
                             const std::vector<std::string>& arguments,
                             const std::vector<std::string>& moreEnvironment) {
    const std::string& home = home_.path();
    for (const char* folder : {"/config", "/data", "/runtime"})
        ::mkdir((home + folder).c_str(), 0700);
    if (logFd_ >= 0)
        ::close(logFd_);
    logFd_ = ::open((home + "/app.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<std::string> argv{executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> all = environment(true);
    all.insert(all.end(), moreEnvironment.begin(), moreEnvironment.end());
    return app_.start(argv, all, logFd_, false, false);
}

std::string AppWorld::launchAnother(ChildProcess& process, const std::string& executable,
                                    bool sessionBus) {
    return process.start({executable}, environment(sessionBus), logFd_, false, false);
}

std::vector<std::string> AppWorld::environment(bool sessionBus) const {
    const std::string& home = home_.path();
    std::vector<std::string> environment = {
        "DISPLAY=" + xvfb_.displayName(),
        "DBUS_SESSION_BUS_ADDRESS=" +
            (sessionBus ? sessionBus_.address() : "unix:path=/nonexistent/tovali-no-bus"),
        "HOME=" + home,
        "XDG_CONFIG_HOME=" + home + "/config",
        "XDG_DATA_HOME=" + home + "/data",
        "XDG_RUNTIME_DIR=" + home + "/runtime",
        "QT_QPA_PLATFORM=xcb",
        "LC_ALL=C.UTF-8",
        "PATH=/usr/bin:/bin",
    };
    if (systemBus_)
        environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + systemBus_->address());
    return environment;
}

std::string AppWorld::terminate() {
    ::kill(app_.pid(), SIGTERM);
    std::string ended;
    waitUntil([&] { return !(ended = app_.exitDescription()).empty(); });
    return ended;
}

std::string AppWorld::log() const {
    return readLogTail(home_.path() + "/app.log");
}

std::vector<unsigned long> AppWorld::topWindows() {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count))
        return {};
    std::vector<unsigned long> windows(children, children + count);
    XFree(children);
    return windows;
}

std::optional<unsigned long> AppWorld::waitForWindow(const std::string& title, int timeoutMs) {
    std::optional<unsigned long> found;
    waitUntil(
        [&] {
            for (const unsigned long window : topWindows()) {
                XWindowAttributes attributes;
                const auto name = property<char>(display_, window, "_NET_WM_NAME",
                                                 XInternAtom(display_, "UTF8_STRING", False));
                if (XGetWindowAttributes(display_, window, &attributes) &&
                    attributes.map_state == IsViewable &&
                    std::string(name.begin(), name.end()) == title)
                    found = window;
            }
            return found.has_value();
        },
        timeoutMs);
    return found;
}

bool AppWorld::isAbove(unsigned long window, unsigned long other) {
    const auto windows = topWindows();
    const auto otherAt = std::ranges::find(windows, other);
    return otherAt != windows.end() && std::find(otherAt, windows.end(), window) != windows.end();
}

bool AppWorld::waitForFocus(unsigned long window, int timeoutMs) {
    Window focus = 0;
    int revert = 0;
    return waitUntil([&] { return XGetInputFocus(display_, &focus, &revert), focus == window; },
                     timeoutMs);
}

unsigned long AppWorld::openWindow(const std::string& title) {
    const Window window =
        XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 200, 100, 0, 0, 0);
    XStoreName(display_, window, title.c_str());
    XMapWindow(display_, window);
    XSync(display_, False);
    return window;
}

void AppWorld::focus(unsigned long window) {
    XSetInputFocus(display_, window, RevertToPointerRoot, CurrentTime);
    XSync(display_, False);
}

std::optional<unsigned long> AppWorld::cardinalProperty(unsigned long window, const char* name) {
    const auto values = property<unsigned long>(display_, window, name, XA_CARDINAL);
    if (values.size() != 1)
        return std::nullopt;
    return values[0] & 0xFFFFFFFFul;
}

void AppWorld::pressKey(unsigned long keysym) {
    const KeyCode code = XKeysymToKeycode(display_, keysym);
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    XSync(display_, False);
}

AppWorld::Pointer AppWorld::pointer() {
    XSync(display_, False);
    Window root = 0;
    Window child = 0;
    int x = 0;
    int y = 0;
    int windowX = 0;
    int windowY = 0;
    unsigned int mask = 0;
    XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &windowX, &windowY,
                  &mask);
    return {x, y, mask};
}

} // namespace tovali::test
