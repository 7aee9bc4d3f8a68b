// The menu in its window, the tray icon and the panels' owner, on a server of test doubles.
#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTextDocument>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files/file_defaults.hpp"
#include "support/scripted_login_item.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"
#include "ui/app_delegate.hpp"
#include "ui/menu_view.hpp"
#include "ui/menu_window.hpp"
#include "ui/paired_date.hpp"
#include "ui/tray_icon.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;
using Names = std::vector<std::string>;

constexpr double december6th2026Noon = 818'251'200.0; // seconds since 2001-01-01 UTC

class Menu : public ::testing::Test {
protected:
    Menu() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    ~Menu() override {
        view.reset();
        window.reset();
        settle();
        QLocale::setDefault(QLocale::system());
    }

    void makeView() { makeView(*rig.server); }
    void makeView(BluetoothServer& server) {
        view =
            std::make_unique<MenuView>(server, rig.accessibility, loginItem, [this] { ++quits; });
        view->show();
    }
    QWidget& makeWindow(MenuWindow::Style style) {
        if (!rig.server)
            rig.startAdvertising();
        window = std::make_unique<MenuWindow>(
            *rig.server, rig.accessibility, loginItem, [this] { ++quits; }, style);
        return window->window();
    }
    void grant(bool trusted) {
        rig.accessibility.trusted = trusted;
        rig.loop.advance(BluetoothServer::accessibilityPollInterval);
    }
    /// Deletes the widgets let go, as the event loop would.
    static void settle() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    template <typename T = QWidget>
    T* find(const char* name) const {
        return view->findChild<T*>(QString::fromLatin1(name));
    }
    /// As shown, less the invisible break opportunities long words get.
    static std::string shown(const QLabel* label) {
        return label->text().remove(QChar(0x200B)).toStdString();
    }
    std::string text(const char* name) const {
        auto* label = find<QLabel>(name);
        return label != nullptr ? shown(label) : std::string("<none> ") + name;
    }
    bool shows(const char* name) const {
        QWidget* widget = find(name);
        return widget != nullptr && widget->isVisibleTo(view.get());
    }
    Names rowNames() const {
        Names names; // rows let go lose their name at once
        for (QWidget* row : view->findChildren<QWidget*>(QStringLiteral("watchRow")))
            names.push_back(shown(row->findChild<QLabel*>(QStringLiteral("watchName"))));
        return names;
    }
    void expectUncut(const char* name) const {
        auto* label = find<QLabel>(name);
        EXPECT_GE(label->height(), label->heightForWidth(label->width())) << name << " is cut";
    }

    ServerRig rig;
    ScriptedLoginItem loginItem;
    int quits = 0;
    std::unique_ptr<MenuView> view;
    std::unique_ptr<MenuWindow> window;
};

// The tray icon follows too. The server tells before it stores, so each step fails for a
// handler that reads it back.
TEST_F(Menu, pairing_answeredInTheMenuOnlyAfterASecond_namesLiteralAndUncut_trayAlerts) {
    const std::string name = "<b>" + std::string(33, 'W') + "</b>"; // as long as names may be
    rig.accessibility.trusted = false;
    rig.startAdvertising();
    makeView();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    TrayIcon icon(*rig.server, {.toggleWindow = [](std::optional<QPoint>) {}, .quit = [] {}});
    EXPECT_EQ(icon.symbol(), Symbol::watch) << "no watch needs the permission yet";

    TestWatch ada(*rig.peripheral, name);
    const std::optional<std::string> code = ada.startPairing();
    ASSERT_TRUE(code && shows("pairingBox"));
    EXPECT_EQ(icon.symbol(), Symbol::watchAlert) << "a request waits";
    EXPECT_EQ(text("pairingMessage"), "Let “" + name +
                                          "” control this computer? Allow only if your watch "
                                          "shows this code:");
    EXPECT_EQ(text("pairingCode"), *code);
    EXPECT_EQ(text("statusText"), "Pairing with " + name + "…");
    QCoreApplication::processEvents();
    view->adjustSize();
    EXPECT_EQ(view->size().width(), 300);
    expectUncut("pairingMessage");
    expectUncut("statusText");
    for (QLabel* label : view->findChildren<QLabel*>())
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();

    // The server would take the answer now; the box still waits out its own second.
    rig.loop.advance(BluetoothServer::pairingArmingSeconds);
    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_TRUE(shows("pairingBox")) << "not within the box's first second";
    QTest::qWait(1100);
    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_FALSE(shows("pairingBox"));
    EXPECT_TRUE(ada.finishSession());
    EXPECT_EQ(text("statusText"), "Connected to " + name);
    EXPECT_EQ(rowNames(), Names{name});
    EXPECT_EQ(icon.symbol(), Symbol::watchAlert) << "connected without the permission";
    view->adjustSize();
    expectUncut("watchName");

    TestWatch bob(*rig.peripheral, "Bob");
    ASSERT_TRUE(bob.startPairing());
    find<QPushButton>("dontAllow")->click();
    EXPECT_FALSE(shows("pairingBox"));
    EXPECT_EQ(rowNames(), Names{name}) << "Bob was not let in";

    ASSERT_TRUE(shows("accessibilityBox")) << "a watch is connected without the permission";
    find<QPushButton>("askAgain")->click();
    EXPECT_EQ(rig.accessibility.calls, (std::vector<std::string>{"prompt"}));
    grant(true);
    EXPECT_FALSE(shows("accessibilityBox"));
    EXPECT_EQ(icon.symbol(), Symbol::watchConnected);
    QTextDocument toolTip; // as a tray that reads markup shows it
    toolTip.setHtml(icon.tray().toolTip());
    EXPECT_EQ(toolTip.toPlainText().toStdString(), "Connected to " + name);
}

// A "Forget" that could not be saved must not look done, and is saved at quit once it can be.
TEST_F(Menu, forget_twoWatchesWithOneName_takesTheOneClicked_aFailedSaveIsShownAndRetried) {
    const auto first = crypto::PrivateKey::generate();
    const auto second = crypto::PrivateKey::generate();
    rig.loop.setWallTime(december6th2026Noon);
    rig.trust(first, "Ada");
    rig.trust(second, "Ad\u200Ba"); // shows as the same name
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

    const auto forget = [this](int row) {
        const auto rows = view->findChildren<QWidget*>(QStringLiteral("watchRow"));
        // A real click: the row goes while its button is still handling it.
        QTest::mouseClick(rows.at(row)->findChild<QPushButton*>(QStringLiteral("forget")),
                          Qt::LeftButton);
        settle();
    };
    forget(1);
    EXPECT_EQ(rowNames(), Names{"Ada"}) << "one of a name needs no fingerprint";
    EXPECT_EQ(rig.server->pairedWatches().value().at(0).key, toBytes(first.publicKey()));
    EXPECT_FALSE(shows("storageProblem"));

    rig.defaults.writeFails = [](std::string_view) { return true; };
    forget(0);
    EXPECT_TRUE(rowNames().empty());
    EXPECT_TRUE(shows("emptyWatches"));
    ASSERT_TRUE(shows("storageProblem"));
    EXPECT_NE(text("storageProblem").find("trustedWatches: No space left on device"),
              std::string::npos);
    rig.defaults.writeFails = {};
    view.reset();
    rig.server.reset();
    EXPECT_EQ(rig.defaults.values.at("trustedWatches"), toBytes(asBytes("[]")));
}

// The stored list takes any finite number; one no date can show reads as the nearest that can.
TEST_F(Menu, pairedDate_timesBeyondAnyDate_readAsTheNearestDate) {
    const std::pair<double, const char*> cases[]{
        {1e300, "9999"}, {-1e300, "0001"}, {-1e18, "0001"}, {4.9406564584124654e-324, "200"}};
    for (const auto& [seconds, year] : cases)
        EXPECT_TRUE(pairedDate(seconds).contains(QLatin1String(year))) << seconds;
    EXPECT_EQ(pairedDate(4.9406564584124654e-324), pairedDate(0.0));
}

TEST_F(Menu, openAtLogin_failedChangeRollsBack_onlyAFailedUndoIsShown) {
    rig.start();
    makeView();
    auto* box = find<QCheckBox>("openAtLogin");
    EXPECT_FALSE(box->isChecked());
    EXPECT_TRUE(loginItem.calls.empty()) << "showing changes nothing";
    const struct {
        const char* label;
        std::optional<std::string> registerError, unregisterError;
        bool checked;
        const char* error;
    } rows[] = {
        {"register fails", "The autostart folder is read-only.", {}, false, "hidden"},
        {"and so does the undo", "The autostart folder is read-only.", "No such entry.", false,
         "Could not change this: No such entry."},
        {"register works", {}, {}, true, "hidden"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        loginItem.calls.clear();
        loginItem.registerError = row.registerError;
        loginItem.unregisterError = row.unregisterError;
        box->click();
        EXPECT_EQ(loginItem.calls.size(), row.checked ? 1u : 2u) << "a failure is undone";
        EXPECT_EQ(box->isChecked(), row.checked);
        EXPECT_EQ(loginItem.registered, row.checked);
        EXPECT_EQ(shows("loginError") ? text("loginError") : "hidden", row.error);
    }
    find<QPushButton>("quit")->click();
    EXPECT_EQ(quits, 1);
}

// A window where the desktop has no tray stays when deactivated and quits when closed.
TEST_F(Menu, popover_nearAnyPoint_staysOnScreenAndHidesWhenDeactivated_windowStyleQuits) {
    QWidget& popover = makeWindow(MenuWindow::Style::popover);
    const auto deactivate = [](QWidget& widget) {
        QEvent event(QEvent::WindowDeactivate);
        QApplication::sendEvent(&widget, &event);
    };
    window->toggle(QPoint(40, 30));
    EXPECT_EQ(popover.pos(), QPoint(40, 30));
    window->toggle(QPoint(40, 30));
    EXPECT_FALSE(popover.isVisible());

    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    for (const QPoint near : {area.bottomRight(), area.topLeft() - QPoint(50, 50)}) {
        window->toggle(near);
        ASSERT_TRUE(popover.isVisible());
        EXPECT_TRUE(area.contains(popover.geometry())) << near.x() << "," << near.y();
        window->toggle(near);
    }

    window->toggle(QPoint(40, 30));
    deactivate(popover);
    EXPECT_FALSE(popover.isVisible());
    window->toggle(std::nullopt);
    EXPECT_FALSE(popover.isVisible()) << "the tray click that took the activation closes it";
    window->toggle(std::nullopt);
    EXPECT_TRUE(popover.isVisible());

    QWidget& plain = makeWindow(MenuWindow::Style::window);
    window->present();
    deactivate(plain);
    EXPECT_TRUE(plain.isVisible());
    EXPECT_EQ(quits, 0);
    plain.close();
    EXPECT_EQ(quits, 1);
}

TEST_F(Menu, delegate_promptsAtLaunchOnlyWithoutThePermission_panelUntilGranted) {
    ServerRig trustedRig;
    AppDelegate trusted(trustedRig.platform());
    trusted.applicationDidFinishLaunching();
    EXPECT_TRUE(trustedRig.accessibility.calls.empty());

    const auto key = crypto::PrivateKey::generate();
    rig.trust(key, "Ada");
    rig.accessibility.trusted = false;
    AppDelegate app(rig.platform());
    rig.peripheral->powerOnAndAdvertise();
    app.applicationDidFinishLaunching();
    EXPECT_EQ(rig.accessibility.calls, std::vector<std::string>{"prompt"});
    EXPECT_EQ(app.accessibilityPanel().window(), nullptr) << "no watch is connected";

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

// Taken for no list at all, an unreadable one was replaced by the next approval, and every
// other pairing with it.
TEST_F(Menu, unreadableList_approvalLeavesTheFileByteForByte_andTheMenuSaysWhy) {
    const struct {
        const char* name;
        void (*spoil)(const std::string& path);
        const char* reason;
    } cases[] = {
        {"mode 000", [](const std::string& path) { ::chmod(path.c_str(), 0); },
         "Permission denied"},
        {"a folder",
         [](const std::string& path) {
             std::filesystem::rename(path, path + ".old");
             std::filesystem::create_directory(path);
             std::filesystem::rename(path + ".old", path + "/inside");
         },
         "it is a folder, not a file"},
    };
    const auto contentsOf = [](const std::string& path) {
        return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char pattern[] = "/tmp/tovali-list-XXXXXX";
        const std::string folder = ::mkdtemp(pattern), path = folder + "/trustedWatches";
        // Root reads any mode: the row runs as nobody, in nobody's folder.
        const bool asRoot = ::geteuid() == 0;
        ASSERT_TRUE(!asRoot || (::chown(pattern, 65534, 65534) == 0 && ::seteuid(65534) == 0));
        ServerRig local;
        FileDefaults files(folder);
        TrustStore(files, local.log, local.loop)
            .add(toBytes(crypto::PrivateKey::generate().publicKey()), "Earlier");
        const std::string before = contentsOf(path);
        c.spoil(path);

        BluetoothServer::Platform p = local.platform();
        auto server = std::make_unique<BluetoothServer>(
            BluetoothServer::Platform{p.events, p.displays, p.loop, p.keychain, p.log, files,
                                      p.accessibility, p.hostName, p.makePeripheralManager});
        makeView(*server);
        ASSERT_TRUE(shows("storageProblem"));
        EXPECT_NE(text("storageProblem").find(path + ": " + c.reason), std::string::npos)
            << text("storageProblem");
        local.peripheral->powerOnAndAdvertise();
        TestWatch ada(*local.peripheral, "Ada");
        ASSERT_TRUE(ada.startPairing());
        local.loop.advance(BluetoothServer::pairingArmingSeconds);
        server->answerPairing(*server->pairingRequest().value(), true);
        EXPECT_TRUE(ada.finishSession()) << "pairing still works for this run";
        view.reset();
        server.reset();

        ::chmod(path.c_str(), 0700);
        const bool moved = std::filesystem::is_directory(path);
        EXPECT_EQ(contentsOf(moved ? path + "/inside" : path), before);
        ASSERT_TRUE(!asRoot || ::seteuid(0) == 0);
        std::filesystem::remove_all(folder);
    }
}

} // namespace
