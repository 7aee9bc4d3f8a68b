// The two panels that float over every window, pairing and the missing permission, and the
// choice of the pointer's route.
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "ui/accessibility_panel.hpp"
#include "ui/pairing_panel.hpp"
#include "ui/pointer_route.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

/// Notes, at the prompt, whether the panel was already gone.
class WatchfulAccessibility : public FlagAccessibility {
public:
    void promptForPermission() override {
        panelGoneAtPrompt = panel != nullptr && panel->window() == nullptr;
        FlagAccessibility::promptForPermission();
    }

    const AccessibilityPanel* panel = nullptr;
    bool panelGoneAtPrompt = false;
};

class Panels : public ::testing::Test {
protected:
    Panels() { accessibility.panel = &permission; }
    ~Panels() override {
        pairing.close();
        permission.close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void showPairing(const std::string& name, const std::string& code = "123 456") {
        pairing.show(PairingRequest{.id = Uuid(), .name = name, .code = code},
                     [this](bool allow) { answers.push_back(allow); });
    }
    static QLabel* label(QWidget* window, const char* name) {
        return window->findChild<QLabel*>(QString::fromLatin1(name));
    }
    static int visiblePanels() {
        int count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            count += widget->isVisible() && widget->inherits("tovali::PanelWindow") ? 1 : 0;
        return count;
    }

    PairingPanel pairing;
    std::vector<bool> answers;
    WatchfulAccessibility accessibility;
    AccessibilityPanel permission{accessibility};
};

TEST_F(Panels, show_whileShown_replacesThePanelShowingTheNameAsItIs) {
    showPairing("Ada");
    permission.show("Ada");
    QPointer<QWidget> firsts[] = {pairing.window(), permission.window()};
    showPairing("<b>Ada</b>", "012 345");
    permission.show("My \"best\" “watch” %2 %1");
    ASSERT_FALSE(firsts[0].isNull()) << "deleted later, never inside the call";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(firsts[0].isNull() && firsts[1].isNull());
    EXPECT_EQ(visiblePanels(), 2);

    EXPECT_EQ(label(pairing.window(), "title")->textFormat(), Qt::PlainText);
    EXPECT_EQ(label(pairing.window(), "title")->text(), "Let “<b>Ada</b>” control this computer?");
    EXPECT_EQ(label(pairing.window(), "code")->text(), "012 345");
    EXPECT_EQ(label(permission.window(), "message")->text(),
              "“My \"best\" “watch” %2 %1” is connected, but the desktop won’t let Tovali move "
              "the pointer until you allow remote interaction in the dialog it shows. If you "
              "closed it, ask again.");

    pairing.close();
    permission.close();
    EXPECT_EQ(visiblePanels(), 0);
    EXPECT_TRUE(answers.empty()) << "closing is no answer";
}

TEST_F(Panels, keys_answerThePairingOrCloseThePermissionPromptingOnlyOnReturn) {
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

    // Escape only closes; Return closes, then asks. Where nothing can be asked, the one button
    // only closes, from the keys too.
    const struct {
        PermissionRemedy remedy;
        Qt::Key key;
        std::size_t prompts;
    } rows[] = {{PermissionRemedy::askDesktop, Qt::Key_Escape, 0},
                {PermissionRemedy::askDesktop, Qt::Key_Return, 1},
                {PermissionRemedy::changeSession, Qt::Key_Return, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key == Qt::Key_Escape ? "Escape" : "Return");
        accessibility.remedyNow = row.remedy;
        permission.show("Ada");
        EXPECT_EQ(permission.window()->findChildren<QPushButton*>().size(),
                  row.remedy == PermissionRemedy::askDesktop ? 2 : 1);
        QTest::keyClick(permission.window(), row.key);
        EXPECT_EQ(permission.window(), nullptr);
        EXPECT_EQ(accessibility.calls.size(), row.prompts);
    }
    EXPECT_TRUE(accessibility.panelGoneAtPrompt);
}

class NamedRoute final : public PointerRoute {
public:
    explicit NamedRoute(std::string name) : name_(std::move(name)) {}
    std::string description() override { return name_; }
    EventPoster& events() override { return recorder_; }
    Displays& displays() override { return recorder_; }
    Accessibility& accessibility() override { return accessibility_; }

private:
    std::string name_;
    EventRecorder recorder_;
    FlagAccessibility accessibility_;
};

TEST(PointerRoute, choice_takesTheFirstRouteThatWorksOrOnlyTheOneForced) {
    const struct {
        PointerChoice choice;
        bool wayland;
        std::string available; // routes that work: x = x11, w = wlroots, p = portal
        const char* chosen;
    } cases[] = {
        {PointerChoice::automatic, false, "xwp", "x11"},
        {PointerChoice::automatic, true, "xwp", "wlroots"},
        {PointerChoice::automatic, true, "xp", "portal"},
        {PointerChoice::automatic, true, "x", "x11"},
        {PointerChoice::automatic, true, "", "none"},
        {PointerChoice::portal, true, "xw", "none"},
        {PointerChoice::wlroots, false, "w", "wlroots"},
        {PointerChoice::x11, true, "xwp", "x11"},
    };
    MemoryDefaults defaults;
    CapturedLog log;
    for (const auto& c : cases) {
        const auto maker = [&](char key, const char* name) {
            return [=](const RouteContext&) -> std::unique_ptr<PointerRoute> {
                if (c.available.find(key) == std::string::npos)
                    return nullptr;
                return std::make_unique<NamedRoute>(name);
            };
        };
        const auto route =
            choosePointerRoute(c.choice, {.wayland = c.wayland},
                               {maker('x', "x11"), maker('w', "wlroots"), maker('p', "portal")},
                               {.defaults = defaults, .log = log, .doubleClickInterval = 0.5});
        EXPECT_EQ(route ? route->description() : "none", c.chosen)
            << static_cast<int>(c.choice) << " " << c.wayland << " " << c.available;
    }
}

} // namespace
