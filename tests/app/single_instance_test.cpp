#include <gtest/gtest.h>

#include "support/app_world.hpp"

// After Qt and the test support: Xlib's macros clash with them.
#include <X11/Xlib.h>

namespace {

using namespace tovali::test;

// A window of the test's own on top of the others, as another application's would be.
Window openAnotherWindow(Display* display) {
    const Window other =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 50, 50, 0, 0, 0);
    XMapRaised(display, other);
    XSync(display, False);
    return other;
}

// Whether `window` is stacked above `other`; the root's children come bottom first.
bool isAbove(Display* display, Window window, Window other) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count))
        return false;
    int windowAt = -1;
    int otherAt = -1;
    for (unsigned int i = 0; i < count; ++i) {
        windowAt = children[i] == window ? static_cast<int>(i) : windowAt;
        otherAt = children[i] == other ? static_cast<int>(i) : otherAt;
    }
    if (children)
        XFree(children);
    return windowAt > otherAt && otherAt >= 0;
}

// A second start, from the applications menu while "Open at login" started the first, must
// neither publish a second service nor keep a second list of paired watches.
TEST(SingleInstance, secondStart_bringsTheFirstForwardAndExits) {
    AppWorld world;
    ASSERT_EQ(world.error(), "");
    ASSERT_EQ(world.launch(TOVALI_EXECUTABLE), "");
    const auto window = world.waitForWindow("Tovali");
    ASSERT_TRUE(window) << world.log();
    ASSERT_TRUE(world.bluez().waitForRegistrations()) << world.log();

    for (const bool sessionBus : {true, false}) {
        SCOPED_TRACE(sessionBus ? "with a session bus" : "with the lock file alone");
        const Window other = openAnotherWindow(world.display());
        ChildProcess second;
        ASSERT_EQ(world.launchAnother(second, TOVALI_EXECUTABLE, sessionBus), "");
        std::string ended;
        EXPECT_TRUE(waitUntil([&] { return !(ended = second.exitDescription()).empty(); }, 10000));
        EXPECT_EQ(ended, "it exited with status 0") << world.log();
        // Only the bus carries the request to come forward.
        if (sessionBus) {
            EXPECT_TRUE(waitUntil([&] { return isAbove(world.display(), *window, other); }))
                << world.log();
        }
    }
    EXPECT_NE(world.log().find("already running"), std::string::npos) << world.log();
    EXPECT_EQ(world.app().exitDescription(), "") << "the first one keeps running";
    EXPECT_EQ(world.bluez().applicationRegistrations(), 1);
    EXPECT_EQ(world.bluez().advertisementRegistrations(), 1);
}

} // namespace
