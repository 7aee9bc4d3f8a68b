#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/scripted_login_item.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"
#include "ui/menu_view.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;
using Names = std::vector<std::string>;

constexpr double december6th2026Noon = 818'251'200.0; // seconds since 2001-01-01 UTC

class MenuViewTest : public ::testing::Test {
protected:
    MenuViewTest() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    ~MenuViewTest() override {
        view.reset();
        settle();
        QLocale::setDefault(QLocale::system());
    }

    void makeView() {
        view = std::make_unique<MenuView>(*rig.server, rig.accessibility, loginItem,
                                          [this] { ++quits; });
        view->show();
    }
    void trust(const crypto::PrivateKey& key, const std::string& name) {
        rig.loop.setWallTime(december6th2026Noon);
        rig.trust(key, name);
    }
    /// Deletes the rows let go, as the event loop would.
    static void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    template <typename T = QWidget>
    T* find(const char* name) const {
        return view->findChild<T*>(QString::fromLatin1(name));
    }
    std::string text(const char* name) const {
        auto* label = find<QLabel>(name);
        return label != nullptr ? label->text().toStdString() : std::string("<none> ") + name;
    }
    bool shows(const char* name) const {
        QWidget* widget = find(name);
        return widget != nullptr && widget->isVisibleTo(view.get());
    }
    Names rowNames() const {
        Names names; // rows let go lose their name at once
        for (QWidget* row : view->findChildren<QWidget*>(QStringLiteral("watchRow")))
            names.push_back(
                row->findChild<QLabel*>(QStringLiteral("watchName"))->text().toStdString());
        return names;
    }
    void forget(int row) {
        const auto rows = view->findChildren<QWidget*>(QStringLiteral("watchRow"));
        // A real click: the row goes while its button is still handling it.
        QTest::mouseClick(rows.at(row)->findChild<QPushButton*>(QStringLiteral("forget")),
                          Qt::LeftButton);
        settle();
    }

    ServerRig rig;
    ScriptedLoginItem loginItem;
    int quits = 0;
    std::unique_ptr<MenuView> view;
};

TEST_F(MenuViewTest, pairing_withoutPermission_boxesStayUntilAnsweredOrGranted) {
    rig.accessibility.trusted = false;
    rig.startAdvertising();
    makeView();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));

    TestWatch ada(*rig.peripheral, "Ada");
    const std::optional<std::string> code = ada.startPairing();
    ASSERT_TRUE(code);
    ASSERT_TRUE(shows("pairingBox"));
    EXPECT_EQ(text("pairingMessage"),
              "Let “Ada” control this computer? Allow only if your watch shows this code:");
    EXPECT_EQ(text("pairingCode"), *code);

    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_TRUE(shows("pairingBox")) << "not within the request's first second";
    rig.loop.advance(BluetoothServer::pairingArmingSeconds);
    QTest::qWait(1100);
    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_FALSE(shows("pairingBox"));
    EXPECT_TRUE(ada.finishSession());
    EXPECT_EQ(text("statusText"), "Connected to Ada");
    EXPECT_EQ(rowNames(), Names{"Ada"});

    TestWatch bob(*rig.peripheral, "Bob");
    ASSERT_TRUE(bob.startPairing());
    find<QPushButton>("dontAllow")->click();
    EXPECT_FALSE(shows("pairingBox"));
    EXPECT_FALSE(bob.finishSession());
    EXPECT_EQ(rowNames(), Names{"Ada"});

    ASSERT_TRUE(shows("accessibilityBox")) << "Ada is connected without the permission";
    find<QPushButton>("askAgain")->click();
    EXPECT_EQ(rig.accessibility.calls, (std::vector<std::string>{"prompt"}));
    rig.accessibility.trusted = true;
    rig.loop.advance(BluetoothServer::accessibilityPollInterval);
    EXPECT_FALSE(shows("accessibilityBox"));
}

TEST_F(MenuViewTest, forget_twoWatchesWithOneName_takesTheOneClickedThenLeavesTheSentence) {
    const auto first = crypto::PrivateKey::generate();
    const auto second = crypto::PrivateKey::generate();
    trust(first, "Ada");
    trust(second, "Ad\u200Ba"); // shows as the same name
    rig.startAdvertising();
    makeView();
    const auto fingerprint = [](const crypto::PrivateKey& key) {
        const Digest digest = crypto::sha256({key.publicKey()});
        return QByteArray(reinterpret_cast<const char*>(digest.data()), 4).toHex().toStdString();
    };
    ASSERT_EQ(rowNames(),
              (Names{"Ada (" + fingerprint(first) + ")", "Ada (" + fingerprint(second) + ")"}));
    EXPECT_FALSE(shows("emptyWatches"));
    EXPECT_EQ(text("pairedAt"), "Paired Dec 6, 2026");

    forget(1);
    EXPECT_EQ(rowNames(), Names{"Ada"}) << "one of a name needs no fingerprint";
    ASSERT_EQ(rig.server->pairedWatches().value().size(), 1u);
    EXPECT_EQ(rig.server->pairedWatches().value()[0].key,
              Bytes(first.publicKey().begin(), first.publicKey().end()));

    forget(0);
    EXPECT_TRUE(rig.server->pairedWatches().value().empty());
    EXPECT_TRUE(rowNames().empty());
    EXPECT_TRUE(shows("emptyWatches"));
}

TEST_F(MenuViewTest, openAtLogin_failedRegister_rollsBackAndShowsOnlyAFailedUnregister) {
    loginItem.registerError = "The autostart folder is read-only.";
    rig.start();
    makeView();
    auto* box = find<QCheckBox>("openAtLogin");
    EXPECT_FALSE(box->isChecked());
    EXPECT_TRUE(loginItem.calls.empty()) << "showing changes nothing";

    box->click(); // the unregistering that follows works
    EXPECT_EQ(loginItem.calls, (std::vector<std::string>{"register", "unregister"}));
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(shows("loginError"));

    loginItem.unregisterError = "No such entry.";
    box->click();
    EXPECT_FALSE(box->isChecked());
    EXPECT_EQ(loginItem.calls.size(), 4u);
    EXPECT_TRUE(shows("loginError"));
    EXPECT_EQ(text("loginError"), "Could not change this: No such entry.");

    loginItem.registerError.reset();
    box->click();
    EXPECT_TRUE(loginItem.registered);
    EXPECT_FALSE(shows("loginError")) << "a change that works clears it";
    find<QPushButton>("quit")->click();
    EXPECT_EQ(quits, 1);
}

TEST_F(MenuViewTest, show_namesWithMarkupAndNoSpaces_literalAndWithinTheWidth) {
    const std::string name = "<b>" + std::string(33, 'W') + "</b>"; // as long as names may be
    trust(crypto::PrivateKey::generate(), name);
    rig.startAdvertising();
    makeView();
    TestWatch watch(*rig.peripheral, name);
    ASSERT_TRUE(watch.startPairing());
    QCoreApplication::processEvents();
    view->adjustSize();

    // Only invisible break opportunities may be added.
    auto shown = [this](const char* label) {
        return find<QLabel>(label)->text().remove(QChar(0x200B)).toStdString();
    };
    EXPECT_EQ(shown("watchName"), name);
    EXPECT_EQ(shown("statusText"), "Pairing with " + name + "…");
    for (QLabel* label : view->findChildren<QLabel*>()) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    }
    EXPECT_EQ(view->size().width(), 300);
    for (const char* each : {"watchName", "statusText", "pairingMessage"}) {
        auto* label = find<QLabel>(each);
        EXPECT_GE(label->height(), label->heightForWidth(label->width())) << each << " is cut";
    }
}

} // namespace
