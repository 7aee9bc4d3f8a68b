#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_displays.hpp"
#include "support/xvfb_server.hpp"
#include "x11_test_client.hpp"

namespace tovali {
namespace {

constexpr int screenWidth = 1024;
constexpr int screenHeight = 768;

std::vector<Rect> asVector(std::span<const Rect> rects) {
    return {rects.begin(), rects.end()};
}

class X11DisplaysTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        connection = X11Connection::open(server.displayName());
        ASSERT_NE(connection, nullptr) << "cannot connect to " << server.displayName();
        ASSERT_TRUE(connection->hasRandrMonitors());
        displays.emplace(*connection);
        adminClient = test::openClient(server.displayName());
        ASSERT_NE(adminClient, nullptr);
        admin = adminClient.get();
        resources = XRRGetScreenResources(admin, DefaultRootWindow(admin));
        ASSERT_TRUE(resources && resources->noutput > 0 && resources->ncrtc > 0);
    }

    void TearDown() override {
        if (resources)
            XRRFreeScreenResources(resources);
    }

    // Taking over Xvfb's only output, when asked, hides the monitor RandR makes for it.
    void defineMonitor(const char* name, Rect bounds, bool takeOutput) {
        RROutput output = resources->outputs[0];
        XRRMonitorInfo monitor{};
        monitor.name = XInternAtom(admin, name, False);
        monitor.x = static_cast<int>(bounds.x);
        monitor.y = static_cast<int>(bounds.y);
        monitor.width = static_cast<int>(bounds.width);
        monitor.height = static_cast<int>(bounds.height);
        monitor.mwidth = monitor.width / 4;
        monitor.mheight = monitor.height / 4;
        monitor.noutput = takeOutput ? 1 : 0;
        monitor.outputs = takeOutput ? &output : nullptr;
        XRRSetMonitor(admin, DefaultRootWindow(admin), &monitor);
        XSync(admin, False);
    }

    // The change has reached the server; its notice reaches our client a moment later.
    std::vector<Rect> boundsOnceChanged(const std::vector<Rect>& before) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        auto bounds = asVector(displays->activeDisplayBounds());
        while (bounds == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            bounds = asVector(displays->activeDisplayBounds());
        }
        return bounds;
    }

    test::XvfbServer server{screenWidth, screenHeight};
    std::unique_ptr<X11Connection> connection;
    std::optional<X11Displays> displays;
    test::XClient adminClient;
    Display* admin = nullptr; // changes the monitors, as a settings tool would
    XRRScreenResources* resources = nullptr;
};

const Rect wholeScreen{0, 0, screenWidth, screenHeight};

// The pointer is kept within these bounds, so a stale list would trap it or let it go off-screen.
TEST_F(X11DisplaysTest, activeDisplayBounds_followEachMonitorChangeInServerOrderElseTheRoot) {
    auto first = asVector(displays->activeDisplayBounds());
    ASSERT_EQ(first, std::vector<Rect>{wholeScreen});

    Rect top{0, 0, 1024, 300};
    Rect bottom{0, 300, 1024, 468};
    defineMonitor("BOTTOM", bottom, false);
    defineMonitor("TOP", top, true);
    auto second = boundsOnceChanged(first);
    EXPECT_EQ(second, (std::vector<Rect>{bottom, top}));

    XRRDeleteMonitor(admin, DefaultRootWindow(admin), XInternAtom(admin, "TOP", False));
    XSync(admin, False);
    auto third = boundsOnceChanged(second);
    EXPECT_EQ(third, (std::vector<Rect>{bottom, wholeScreen}));

    // Switching off the only CRTC leaves RandR with no monitor once BOTTOM is gone too.
    XRRSetCrtcConfig(admin, resources, resources->crtcs[0], CurrentTime, 0, 0, None, RR_Rotate_0,
                     nullptr, 0);
    XRRDeleteMonitor(admin, DefaultRootWindow(admin), XInternAtom(admin, "BOTTOM", False));
    XSync(admin, False);
    EXPECT_EQ(boundsOnceChanged(third), std::vector<Rect>{wholeScreen});
}

} // namespace
} // namespace tovali
