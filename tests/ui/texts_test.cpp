// No text a Linux user can see names the other platform or its settings.
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QStringList>
#include <QWidget>
#include <memory>

#include <gtest/gtest.h>

#include "server/status.hpp"
#include "support/scripted_login_item.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"
#include "ui/accessibility_panel.hpp"
#include "ui/menu_view.hpp"
#include "ui/pairing_panel.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

QStringList textsOf(const QWidget& window) {
    QStringList texts{window.windowTitle()};
    for (const QLabel* label : window.findChildren<QLabel*>())
        texts << label->text();
    for (const QAbstractButton* button : window.findChildren<QAbstractButton*>())
        texts << button->text();
    return texts;
}

TEST(Texts, everyWindowAndStatus_namesNeitherTheMacNorItsSettings) {
    const QRegularExpression foreign(
        QStringLiteral(R"(\bMac\b|macOS|Control Cent|System Settings|Privacy & Security)"));
    QStringList texts;
    for (const Status& status : {Status::starting(), Status::bluetoothOff(), Status::notAllowed(),
                                 Status::unsupported(), Status::waiting()})
        texts << QString::fromStdString(statusText(status));

    ServerRig rig;
    rig.accessibility.trusted = false;
    rig.startAdvertising();
    ScriptedLoginItem loginItem;
    TestWatch watch(*rig.peripheral, "Ada");
    ASSERT_TRUE(watch.startPairing());
    PairingPanel pairing;
    pairing.show(*rig.server->pairingRequest().value(), [](bool) {});
    texts << textsOf(*pairing.window());
    for (auto remedy : {PermissionRemedy::askDesktop, PermissionRemedy::changeSession,
                        PermissionRemedy::waitForDesktop}) {
        rig.accessibility.remedyNow = remedy;
        AccessibilityPanel panel(rig.accessibility);
        panel.show("Ada");
        MenuView view(*rig.server, rig.accessibility, loginItem, [] {});
        texts << textsOf(*panel.window()) << textsOf(view);
        panel.close();
    }
    pairing.close();
    for (const QString& text : texts)
        EXPECT_FALSE(foreign.match(text).hasMatch()) << text.toStdString();
    EXPECT_GT(texts.size(), 30);
}

} // namespace
