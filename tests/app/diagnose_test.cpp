#include <chrono>
#include <functional>
#include <iostream>

#include <gtest/gtest.h>

#include "support/app_world.hpp"
#include "support/bluez_stand_in.hpp"

namespace {

using namespace tovali::test;

// `tovali --diagnose` against bluetoothd's stand-in in one state after another: the exit status,
// and exactly the one piece of advice that each state calls for.
TEST(Diagnose, givesTheAdviceEachStateOfBluetoothCallsFor) {
    AppWorld world;
    ASSERT_EQ(world.error(), "");
    BluezStandIn& bluez = world.bluez();
    struct Case {
        const char* state;
        std::function<void()> arrange;
        std::function<void()> undo;
        const char* advice;
    };
    const Case cases[] = {
        {"all well", [] {}, [] {}, nullptr},
        {"registration refused",
         [&] { bluez.refuseRegistrations(tovali::bluez::failedError, "No object received"); },
         [&] { bluez.refuseRegistrations({}); }, "bluetoothd refused the service: "},
        {"unpowered", [&] { bluez.setPowered(false); }, [&] { bluez.setPowered(true); },
         "Bluetooth is off: switch it on with \u2018bluetoothctl power on\u2019"},
        {"no adapter", [&] { bluez.removeAdapter(); }, [&] { bluez.restoreAdapter(); },
         "bluetoothd shows no Bluetooth adapter"},
        {"no LE",
         [&] {
             bluez.setLePeripheral(false);
             bluez.restart();
         },
         [] {}, "This adapter cannot be a Bluetooth LE peripheral"},
        {"no daemon", [&] { bluez.stop(); }, [] {},
         "bluetoothd is not running: install and start it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        c.arrange();
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(world.launch(TOVALI_EXECUTABLE, {"--diagnose"}), "");
        std::string ended;
        // The stand-in answers from this thread, so the wait runs its event loop.
        waitUntil([&] { return !(ended = world.app().exitDescription()).empty(); }, 10000);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        std::cout << c.state << ": --diagnose took " << took.count() << " ms\n";
        const std::string report = world.log();
        if (c.advice == nullptr) {
            EXPECT_EQ(ended, "it exited with status 0") << report;
            EXPECT_NE(report.find("All is in place."), std::string::npos) << report;
        } else {
            EXPECT_EQ(ended, "it exited with status 1") << report;
            EXPECT_NE(report.find("1 problem, and what to do:\n  - " + std::string(c.advice)),
                      std::string::npos)
                << report;
        }
        c.undo();
    }
}

} // namespace
