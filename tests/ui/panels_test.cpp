// The two panels that float over every window: pairing and the missing permission.
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "ui/accessibility_panel.hpp"
#include "ui/pairing_panel.hpp"

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

class PanelsTest : public ::testing::Test {
protected:
    void SetUp() override { accessibility.panel = &permission; }
    void TearDown() override {
        pairing.close();
        permission.close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void showPairing(const std::string& name, const std::string& code = "123 456") {
        pairing.show(PairingRequest{.id = Uuid(), .name = name, .code = code},
                     [this](bool allow) { answers.push_back(allow); });
    }
    static std::string text(QWidget* window, const char* name) {
        auto* label = window->findChild<QLabel*>(QString::fromLatin1(name));
        return label != nullptr ? label->text().toStdString() : std::string("<none> ") + name;
    }
    static int visiblePanels() {
        int count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            count += widget->isVisible() && widget->inherits("tovali::PanelWindow") ? 1 : 0;
        return count;
    }
    void expectPermissionGone() const { EXPECT_EQ(permission.window(), nullptr); }

    PairingPanel pairing;
    std::vector<bool> answers;
    WatchfulAccessibility accessibility;
    AccessibilityPanel permission{accessibility};
};

TEST_F(PanelsTest, show_whileShown_replacesThePanelShowingTheNameAsItIs) {
    showPairing("Ada");
    permission.show("Ada");
    QPointer<QWidget> firsts[] = {pairing.window(), permission.window()};
    showPairing("<b>Ada</b>", "012 345");
    permission.show("My \"best\" “watch” %2 %1");
    ASSERT_FALSE(firsts[0].isNull()) << "deleted later, never inside the call";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const auto& first : firsts)
        EXPECT_TRUE(first.isNull());
    EXPECT_EQ(visiblePanels(), 2);

    EXPECT_EQ(pairing.window()->findChild<QLabel*>(QStringLiteral("title"))->textFormat(),
              Qt::PlainText);
    EXPECT_EQ(text(pairing.window(), "title"), "Let “<b>Ada</b>” control this computer?");
    EXPECT_EQ(text(pairing.window(), "code"), "012 345");
    EXPECT_EQ(text(permission.window(), "message"),
              "“My \"best\" “watch” %2 %1” is connected, but the desktop won’t let Tovali move "
              "the pointer until you allow remote interaction in the dialog it shows. If you "
              "closed it, ask again.");

    pairing.close();
    permission.close();
    EXPECT_EQ(visiblePanels(), 0);
    EXPECT_TRUE(answers.empty()) << "closing is no answer";
    expectPermissionGone();
}

TEST_F(PanelsTest, keys_answerThePairingOrCloseThePermissionPromptingOnlyOnReturn) {
    showPairing("Ada");
    EXPECT_FALSE(pairing.window()->isActiveWindow()) << "it never takes the keyboard";
    QTest::keyClick(pairing.window(), Qt::Key_Escape);
    QTest::keyClick(pairing.window(), Qt::Key_Return); // within its first second
    QTest::qWait(1100);
    QTest::keyClick(pairing.window(), Qt::Key_Space);
    QKeyEvent repeated(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(pairing.window(), &repeated);
    QTest::keyClick(pairing.window(), Qt::Key_Return);
    QTest::keyClick(pairing.window(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(answers, (std::vector<bool>{false, true, true}));

    permission.show("Ada");
    QTest::keyClick(permission.window(), Qt::Key_Escape);
    expectPermissionGone();
    EXPECT_TRUE(accessibility.calls.empty());

    permission.show("Ada");
    QTest::keyClick(permission.window(), Qt::Key_Return);
    expectPermissionGone();
    EXPECT_TRUE(accessibility.panelGoneAtPrompt);
    EXPECT_EQ(accessibility.calls, (std::vector<std::string>{"prompt"}));

    // Where nothing can be asked, the one button only closes, from the keys too.
    accessibility.remedyNow = PermissionRemedy::changeSession;
    permission.show("Ada");
    EXPECT_EQ(permission.window()->findChildren<QPushButton*>().size(), 1);
    QTest::keyClick(permission.window(), Qt::Key_Return);
    expectPermissionGone();
    EXPECT_EQ(accessibility.calls.size(), 1U);
}

} // namespace
