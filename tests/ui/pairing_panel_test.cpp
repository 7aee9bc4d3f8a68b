#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QTest>
#include <QWidget>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ui/pairing_panel.hpp"

namespace {

using namespace tovali;

class PairingPanelTest : public ::testing::Test {
protected:
    void TearDown() override {
        panel.close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void show(const std::string& name, const std::string& code = "123 456") {
        panel.show(PairingRequest{.id = Uuid(), .name = name, .code = code},
                   [this](bool allow) { answers.push_back(allow); });
    }
    QLabel* label(const char* name) const {
        return panel.window()->findChild<QLabel*>(QString::fromLatin1(name));
    }
    static int visiblePanels() {
        int count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            count += widget->isVisible() && widget->inherits("tovali::PanelWindow") ? 1 : 0;
        return count;
    }

    PairingPanel panel;
    std::vector<bool> answers;
};

TEST_F(PairingPanelTest, show_whileShown_replacesThePanelShowingTheNameLiterally) {
    show("Ada");
    QPointer<QWidget> first = panel.window();
    show("<b>Ada</b>", "012 345");

    EXPECT_EQ(label("title")->textFormat(), Qt::PlainText);
    EXPECT_EQ(label("title")->text().toStdString(), "Let “<b>Ada</b>” control this Mac?");
    EXPECT_EQ(label("code")->text().toStdString(), "012 345");
    ASSERT_FALSE(first.isNull()) << "deleted later, never inside the call";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(visiblePanels(), 1);

    panel.close();
    EXPECT_EQ(visiblePanels(), 0);
    EXPECT_TRUE(answers.empty()) << "closing is no answer";
}

TEST_F(PairingPanelTest, keys_escapeRefusesAndReturnAllows) {
    show("Ada");
    QTest::keyClick(panel.window(), Qt::Key_Escape);
    QTest::keyClick(panel.window(), Qt::Key_Return);
    QTest::keyClick(panel.window(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(answers, (std::vector<bool>{false, true, true}));
}

TEST_F(PairingPanelTest, show_longNameWithoutSpaces_wrapsWithinWidth340) {
    const std::string name(60, 'W');
    show(name);
    QLabel* title = label("title");

    EXPECT_EQ(panel.window()->width(), 340);
    EXPECT_LE(title->minimumSizeHint().width(), 340 - 2 * 24) << "the name breaks anywhere";
    EXPECT_EQ(title->text().remove(QChar(0x200B)).toStdString(),
              "Let “" + name + "” control this Mac?");
    EXPECT_GE(panel.window()->height(), panel.window()->sizeHint().height()) << "nothing cut";
}

} // namespace
