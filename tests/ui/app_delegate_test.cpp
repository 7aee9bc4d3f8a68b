#include <QCoreApplication>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "support/test_watch.hpp"
#include "ui/app_delegate.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

class AppDelegateTest : public ::testing::Test {
protected:
    void TearDown() override {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    AppDelegate& launch() {
        delegate = std::make_unique<AppDelegate>(rig.platform());
        rig.peripheral->powerOnAndAdvertise();
        delegate->applicationDidFinishLaunching();
        return *delegate;
    }
    void grant(bool trusted) {
        rig.accessibility.trusted = trusted;
        rig.loop.advance(BluetoothServer::accessibilityPollInterval);
    }

    ServerRig rig;
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, launch_promptsOnlyWhenThePermissionIsMissing) {
    rig.accessibility.trusted = false;
    launch();
    EXPECT_EQ(rig.accessibility.calls, std::vector<std::string>{"prompt"});
    EXPECT_EQ(delegate->pairingPanel().window(), nullptr);
    EXPECT_EQ(delegate->accessibilityPanel().window(), nullptr) << "no watch is connected";

    ServerRig trustedRig;
    AppDelegate trustedDelegate(trustedRig.platform());
    trustedDelegate.applicationDidFinishLaunching();
    EXPECT_TRUE(trustedRig.accessibility.calls.empty());
}

TEST_F(AppDelegateTest, connectedWithoutPermission_showsTheAccessibilityPanelUntilGranted) {
    const auto key = crypto::PrivateKey::generate();
    rig.trust(key, "Ada");
    rig.accessibility.trusted = false;
    AppDelegate& app = launch();
    TestWatch watch(*rig.peripheral, "Ada", key);
    ASSERT_TRUE(watch.openTrustedSession());
    ASSERT_NE(app.accessibilityPanel().window(), nullptr);

    // Dismissed, it stays away while nothing changes, however often the server republishes.
    QTest::keyClick(app.accessibilityPanel().window(), Qt::Key_Escape);
    rig.loop.advance(10 * BluetoothServer::accessibilityPollInterval);
    EXPECT_EQ(app.accessibilityPanel().window(), nullptr);

    // A reconnection is a new reason to ask.
    rig.peripheral->unsubscribe(watch.central());
    TestWatch again(*rig.peripheral, "Ada", key);
    ASSERT_TRUE(again.openTrustedSession());
    ASSERT_NE(app.accessibilityPanel().window(), nullptr);

    grant(true);
    EXPECT_EQ(app.accessibilityPanel().window(), nullptr);
}

} // namespace
