#include <QElapsedTimer>
#include <QString>
#include <vector>

#include <gtest/gtest.h>

#include "link/wire_messages.hpp"
#include "support/app_world.hpp"
#include "support/test_watch.hpp"

// After Qt and the test support: Xlib's macros clash with them.
#include <X11/keysym.h>

namespace {

using namespace tovali;
using namespace tovali::test;

const QString signal = QString::fromStdString(gatt::signal.toString()).toLower();
constexpr const char* panelTitle = "Let “Stranger” control this computer?";

void pause(int ms) {
    waitUntil([] { return false; }, ms);
}

// One connection of a watch that keeps its key: hello and nonce, then it leaves.
struct Attempt {
    Attempt(AppWorld& in, const crypto::PrivateKey& key)
        : world(in), device(in.bluez().connectDevice("C0:FF:EE:00:00:02")),
          before(static_cast<int>(
              (in.bluez().subscribe(device, signal), in.bluez().notifications(device).size()))),
          radio(in.bluez(), device), watch(radio, "Stranger", key), code(watch.startPairing()) {}
    ~Attempt() { world.bluez().disconnectDevice(device); }
    bool answered(int timeoutMs = 5000) {
        return world.bluez().waitForNotifications(device, before + 1, timeoutMs);
    }

    AppWorld& world;
    QString device;
    int before; // the device keeps its notifications across connections
    StandInRadio radio;
    TestWatch watch;
    std::optional<std::string> code;
};

// Strangers' panels while the user types elsewhere: nothing typed there answers, nothing in a
// panel's first second counts, and a stranger who keeps trying is slowed to a few panels.
TEST(PairingGuard, panelLeavesTheFocusArmsAfterASecondAndRepeatedTriesWait) {
    AppWorld world;
    ASSERT_EQ(world.error(), "");
    ASSERT_EQ(world.launch(TOVALI_EXECUTABLE), "");
    ASSERT_TRUE(world.waitForWindow("Tovali") && world.bluez().waitForRegistrations())
        << world.log();
    const unsigned long editor = world.openWindow("Editor");
    world.focus(editor);
    // The second key cycles after the first is paired, then waits its turn and pairs too.
    const std::vector<crypto::PrivateKey> keys{crypto::PrivateKey::generate(),
                                               crypto::PrivateKey::generate()};
    {
        Attempt typedElsewhere(world, keys[0]);
        ASSERT_TRUE(typedElsewhere.code && world.waitForWindow(panelTitle)) << world.log();
        pause(1100);
        for (const unsigned long keysym : {XK_Return, XK_space, XK_a, XK_KP_Enter})
            world.pressKey(keysym);
        EXPECT_FALSE(typedElsewhere.answered(300));
        EXPECT_EQ(world.focusedWindow(), editor);
    }
    pause(2100);
    std::size_t paired = 0;
    for (int attempt = 0; attempt < 40 && paired < keys.size(); ++attempt) {
        Attempt patient(world, keys[paired]);
        const auto panel = patient.code ? world.waitForWindow(panelTitle) : std::nullopt;
        if (!panel) {
            pause(1000);
            continue;
        }
        world.focus(*panel);
        world.pressKey(XK_Return);
        EXPECT_FALSE(patient.answered(1100)) << "Return within the panel's first second";
        world.pressKey(XK_Return);
        ASSERT_TRUE(patient.answered() && patient.watch.finishSession()) << world.log();
        if (++paired == keys.size())
            break;
        int panels = 0;
        QElapsedTimer cycling;
        cycling.start();
        while (cycling.elapsed() < 20'000)
            panels += Attempt(world, keys[paired]).code ? 1 : 0;
        EXPECT_LE(panels, 5);
    }
    EXPECT_EQ(paired, keys.size());
}

} // namespace
