#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QWidget>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "ui/accessibility_panel.hpp"

namespace {

using namespace tovali;

/// Notes, at the prompt, whether the panel was already gone.
class WatchfulAccessibility : public test::FlagAccessibility {
public:
    void promptForPermission() override {
        panelGoneAtPrompt = panel != nullptr && panel->window() == nullptr;
        FlagAccessibility::promptForPermission();
    }

    const AccessibilityPanel* panel = nullptr;
    bool panelGoneAtPrompt = false;
};

class AccessibilityPanelTest : public ::testing::Test {
protected:
    void SetUp() override { accessibility.panel = &panel; }
    void TearDown() override {
        panel.close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    /// Closed, and no longer listening for the settings.
    void expectGone() const {
        EXPECT_EQ(panel.window(), nullptr);
        EXPECT_TRUE(accessibility.settingsObservers.empty());
    }

    WatchfulAccessibility accessibility;
    AccessibilityPanel panel{accessibility};
};

TEST_F(AccessibilityPanelTest, show_twice_leavesOneWindowShowingTheNameAsItIs) {
    panel.show("Ada");
    QPointer<QWidget> first = panel.window();
    panel.show("My \"best\" “watch” %2 %1");

    EXPECT_EQ(accessibility.settingsObservers.size(), 1U);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    int visible = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        visible += widget->isVisible() && widget->inherits("tovali::PanelWindow") ? 1 : 0;
    EXPECT_EQ(visible, 1);
    auto* message = panel.window()->findChild<QLabel*>(QStringLiteral("message"));
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->text().toStdString(),
              "“My \"best\" “watch” %2 %1” is connected, but macOS won’t let Tovali "
              "move the pointer until you turn it on in Privacy & Security, "
              "Accessibility. If it’s on already, turn it off and on again.");
}

TEST_F(AccessibilityPanelTest, closing_bySettingsOrKeys_stopsListeningAndPromptsOnlyOnReturn) {
    panel.show("Ada");
    accessibility.bringSettingsToFront();
    expectGone();
    panel.show("Ada");
    QTest::keyClick(panel.window(), Qt::Key_Escape);
    expectGone();
    EXPECT_TRUE(accessibility.calls.empty());

    panel.show("Ada");
    QTest::keyClick(panel.window(), Qt::Key_Return);
    expectGone();
    EXPECT_TRUE(accessibility.panelGoneAtPrompt);
    EXPECT_EQ(accessibility.calls, (std::vector<std::string>{"prompt", "openSettings"}));
}

} // namespace
