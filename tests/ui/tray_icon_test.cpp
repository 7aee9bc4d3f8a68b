#include <QSystemTrayIcon>
#include <QTextDocument>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "support/test_watch.hpp"
#include "ui/tray_icon.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

class TrayIconTest : public ::testing::Test {
protected:
    void makeIcon() {
        icon = std::make_unique<TrayIcon>(*rig.server,
                                          TrayIcon::Actions{
                                              .toggleWindow = [](std::optional<QPoint>) {},
                                              .quit = [] {},
                                          });
    }
    /// The tool tip as a tray that reads markup shows it.
    std::string toolTip() const {
        QTextDocument shown;
        shown.setHtml(icon->tray().toolTip());
        return shown.toPlainText().toStdString();
    }

    ServerRig rig;
    std::unique_ptr<TrayIcon> icon;
};

// The server tells before it stores, so each step fails for a handler that reads it back.
TEST_F(TrayIconTest, serverChanges_requestOrMissingPermission_alertAndNamesStayPlain) {
    auto setTrusted = [this](bool trusted) {
        rig.accessibility.trusted = trusted;
        rig.loop.advance(BluetoothServer::accessibilityPollInterval);
    };
    rig.accessibility.trusted = false;
    rig.startAdvertising();
    makeIcon();
    EXPECT_EQ(icon->symbol(), Symbol::watch) << "no watch needs the permission yet";
    setTrusted(true);

    TestWatch ada(*rig.peripheral, "<i>Ada</i>");
    ASSERT_TRUE(ada.startPairing());
    EXPECT_EQ(icon->symbol(), Symbol::watchAlert) << "a request waits";
    rig.answerPairing(true);
    ASSERT_TRUE(ada.finishSession());
    EXPECT_EQ(icon->symbol(), Symbol::watchConnected);
    EXPECT_EQ(toolTip(), "Connected to <i>Ada</i>");

    setTrusted(false);
    EXPECT_EQ(icon->symbol(), Symbol::watchAlert);
}

} // namespace
