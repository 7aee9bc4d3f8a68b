// The application against the real kernel Bluetooth stack and bluetoothd, in a virtual machine
// (tests/vm/run-vm): the application advertises on hci0, and test watches use BlueZ's central
// API on hci1 and hci2 over the emulated radio. The scenarios share one application and run in
// order; a watch paired in one is trusted in the next.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QFile>
#include <QMap>
#include <QObject>
#include <QRegularExpression>
#include <QString>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "link/wire_messages.hpp"
#include "platform/bluez/dbus_types.hpp"
#include "support/app_world.hpp"
#include "support/bluez_stand_in.hpp"
#include "support/child_process.hpp"
#include "support/test_watch.hpp"

// After Qt and the test support: Xlib's macros clash with them.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

using namespace tovali;
using namespace tovali::test;
using namespace tovali::bluez;
using Clock = std::chrono::steady_clock;

QString uuidText(const Uuid& uuid);
const QString service = uuidText(gatt::service);

const QString peripheralAdapter = QStringLiteral("/org/bluez/hci0");
// Rediscovery after a restart can miss bluetoothd's first scan windows of 10.24 s each.
constexpr int discoveryMs = 60000;
// Plain ATT as most watches use it, and an MTU small enough that replies take several reads.
constexpr const char* mainConf = "[GATT]\nChannels=1\nExchangeMTU=48\n[Policy]\nAutoEnable=true\n";

/// A UUID as BlueZ writes it.
QString uuidText(const Uuid& uuid) {
    return QString::fromStdString(uuid.toString()).toLower();
}

QDBusMessage callBluez(const QString& path, const QString& interface, const QString& method,
                       const QList<QVariant>& arguments = {}) {
    auto message = QDBusMessage::createMethodCall(busName, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message, QDBus::Block, 25000);
}

/// A property of one of bluetoothd's objects; invalid when it has none.
QVariant bluezProperty(const QString& path, const QString& interface, const QString& name) {
    const QDBusMessage reply = callBluez(path, propertiesInterface, "Get", {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage)
        return {};
    return reply.arguments().at(0).value<QDBusVariant>().variant();
}

ManagedObjects managedObjects() {
    const QDBusMessage reply = callBluez("/", objectManagerInterface, "GetManagedObjects");
    if (reply.type() != QDBusMessage::ReplyMessage)
        return {};
    return qdbus_cast<ManagedObjects>(reply.arguments().at(0));
}

/// A watch's side of the real radio: BlueZ's own central API on one controller of the system
/// bus, the way a phone or watch finds and uses a peripheral.
class BluezCentral : public QObject, public WatchRadio {
    Q_OBJECT
public:
    struct Found {
        QString device;
        QString name;
    };

    /// On the adapter at `adapter`, e.g. "/org/bluez/hci1".
    explicit BluezCentral(QString adapter) : adapter_(std::move(adapter)) {
        registerDBusTypes();
        QDBusConnection::systemBus().connect(busName, QString(), propertiesInterface,
                                             "PropertiesChanged", this,
                                             SLOT(onPropertiesChanged(QDBusMessage)));
    }

    /// Scans for an advertisement of the service until one is seen; what was cached before is
    /// forgotten first, so that what is found was on the air.
    std::optional<Found> discover(int timeoutMs) {
        const QString prefix = adapter_ + QStringLiteral("/dev_");
        for (auto it : managedObjects().asKeyValueRange()) {
            if (it.first.path().startsWith(prefix))
                adapterCall("RemoveDevice", {QVariant::fromValue(it.first)});
        }
        adapterCall("SetDiscoveryFilter", {QVariantMap{{"UUIDs", QStringList{service}},
                                                       {"Transport", QStringLiteral("le")}}});
        const auto scan = [this] {
            adapterCall("StopDiscovery");
            return adapterCall("StartDiscovery").type() == QDBusMessage::ReplyMessage;
        };
        // The first scan window after a restart often reports nothing; bluetoothd scans again.
        waitUntil(scan);
        std::optional<Found> found;
        const auto seen = [&] {
            for (auto it : managedObjects().asKeyValueRange()) {
                const QVariantMap device = it.second.value(deviceInterface);
                if (it.first.path().startsWith(prefix) &&
                    device.value("UUIDs").toStringList().contains(service))
                    found = Found{it.first.path(), device.value("Name").toString()};
            }
            return found.has_value();
        };
        // After bluetoothd restarts, whole scan windows can pass without a report; a fresh scan
        // is what a phone's user would start. A little longer than bluetoothd's window of 10.24 s.
        constexpr int scanMs = 12000;
        for (int left = timeoutMs; left > 0 && !waitUntil(seen, std::min(left, scanMs));
             left -= scanMs)
            scan();
        adapterCall("StopDiscovery");
        return found;
    }

    /// Connects and waits for the services; retried, since the emulated link sometimes drops the
    /// first attempt. Answers why it failed, or empty.
    QString connect(const QString& device) {
        device_ = device;
        notifying_.clear();
        QString error;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const QDBusMessage reply = callBluez(device, deviceInterface, "Connect");
            if (reply.type() != QDBusMessage::ReplyMessage) {
                error = reply.errorName() + ": " + reply.errorMessage();
                continue;
            }
            if (waitUntil([&] { return deviceProperty("ServicesResolved"); }, 15000))
                return {};
            error = QStringLiteral("the services were not resolved");
        }
        return error;
    }
    void disconnect() { callBluez(device_, deviceInterface, "Disconnect"); }
    bool connected() const { return deviceProperty("Connected"); }

    /// The flags of the peer's characteristic, e.g. "read".
    QStringList flags(const Uuid& characteristic) const {
        return bluezProperty(pathOf(characteristic), gattCharacteristicInterface, "Flags")
            .toStringList();
    }
    /// Enables notifications of this characteristic and counts them; empty, or why it failed.
    QString subscribe(const Uuid& characteristic) {
        notifying_ = pathOf(characteristic);
        const QDBusMessage reply =
            callBluez(notifying_, gattCharacteristicInterface, "StartNotify");
        if (reply.type() == QDBusMessage::ReplyMessage)
            return {};
        return notifying_ + ": " + reply.errorName() + ": " + reply.errorMessage();
    }
    int notifications() const { return notifications_; }

    std::uint64_t write(const Uuid& characteristic, Bytes value) override {
        // The input characteristic takes writes without response, as the watch sends them.
        const QVariantMap options{{"type", characteristic == gatt::input
                                               ? QStringLiteral("command")
                                               : QStringLiteral("request")}};
        const QDBusMessage reply = callBluez(pathOf(characteristic), gattCharacteristicInterface,
                                             "WriteValue", {toQByteArray(value), options});
        // The central's API does not say which ATT error came back; "Unlikely Error" stands for
        // all.
        answers_.push_back(reply.type() == QDBusMessage::ReplyMessage ? AttResult::success
                                                                      : AttResult{0x0e});
        return answers_.size();
    }
    std::optional<AttResult> responseTo(std::uint64_t token) const override {
        return token <= answers_.size() ? std::optional(answers_[token - 1]) : std::nullopt;
    }
    /// bluetoothd reads a long value whole, with as many blob reads as the MTU needs.
    std::optional<Bytes> readLong(const Uuid& characteristic) override {
        const QDBusMessage reply = callBluez(pathOf(characteristic), gattCharacteristicInterface,
                                             "ReadValue", {QVariantMap()});
        if (reply.type() != QDBusMessage::ReplyMessage)
            return std::nullopt;
        const QByteArray bytes = reply.arguments().at(0).toByteArray();
        return Bytes(bytes.cbegin(), bytes.cend());
    }

private Q_SLOTS:
    void onPropertiesChanged(const QDBusMessage& message) {
        if (!notifying_.isEmpty() && message.path() == notifying_ &&
            qdbus_cast<QVariantMap>(message.arguments().at(1)).contains("Value"))
            ++notifications_;
    }

private:
    QDBusMessage adapterCall(const QString& method, const QList<QVariant>& arguments = {}) {
        return callBluez(adapter_, adapterInterface, method, arguments);
    }
    bool deviceProperty(const QString& name) const {
        return bluezProperty(device_, deviceInterface, name).toBool();
    }
    QString pathOf(const Uuid& characteristic) const {
        for (auto it : managedObjects().asKeyValueRange()) {
            if (it.first.path().startsWith(device_ + '/') &&
                it.second.value(gattCharacteristicInterface).value("UUID").toString() ==
                    uuidText(characteristic))
                return it.first.path();
        }
        return {};
    }

    QString adapter_;
    QString device_;
    QString notifying_;
    int notifications_ = 0;
    std::vector<AttResult> answers_;
};

QByteArray contentsOf(const std::string& path) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// The guest's side of the real stack: bluetoothd on the system bus the guest brought up, with
/// dbus-monitor noting the application's calls to it, and the real application in its own X
/// server and session bus, using the first controller.
class VmWorld {
public:
    VmWorld() {
        std::ofstream(folder_.path() + "/main.conf") << mainConf;
        error_ = start(monitor_,
                       {"dbus-monitor", "--system", "--monitor",
                        "type='method_call',interface='org.bluez.GattManager1'",
                        "type='method_call',interface='org.bluez.LEAdvertisingManager1'"},
                       callsLog_);
        // It prints NameLost once it monitors.
        if (error_.empty() &&
            !waitUntil([&] { return contentsOf(callsLog_).contains("NameLost"); }))
            error_ = "dbus-monitor did not start";
        if (error_.empty())
            error_ = app_.error();
        if (error_.empty())
            error_ = startBluetoothd();
        if (error_.empty())
            error_ = app_.launch(TOVALI_EXECUTABLE);
    }

    /// Why the world could not be made, or empty.
    const std::string& error() const { return error_; }
    AppWorld& app() { return app_; }
    std::string logs() const {
        return "tovali:\n" + app_.log() + "\nbluetoothd:\n" + readLogTail(bluetoothdLog_);
    }

    /// btmgmt switches a controller off and on behind bluetoothd, as suspend and resume do.
    static bool powerCycle(int index) {
        const std::string btmgmt = "btmgmt --index " + std::to_string(index) + " power ";
        return std::system((btmgmt + "off >/dev/null && " + btmgmt + "on >/dev/null").c_str()) == 0;
    }

    /// SIGKILL, as a crash would end it, then a new bluetoothd; answers why it failed, or empty.
    std::string restartBluetoothd() {
        ::kill(bluetoothd_.pid(), SIGKILL);
        waitUntil([&] { return !bluetoothd_.exitDescription().empty(); });
        // Its registrations died with it.
        callsBefore_ = contentsOf(callsLog_).count('\n');
        return startBluetoothd();
    }

    /// What the application has registered with the current bluetoothd, counted from its calls
    /// (registrations less unregistrations), by "Application path" and "Advertisement path".
    QMap<QString, int> registrations() const {
        static const QRegularExpression call(
            QStringLiteral("^method call .* path=([^;]+);.* member=(Register|Unregister)(\\w+)$"));
        QMap<QString, int> standing;
        for (const QByteArray& line : contentsOf(callsLog_).split('\n').mid(callsBefore_)) {
            if (const auto match = call.match(QString::fromUtf8(line)); match.hasMatch())
                standing[match.captured(3) + ' ' + match.captured(1)] +=
                    match.captured(2) == QStringLiteral("Register") ? 1 : -1;
        }
        standing.removeIf([](const auto& entry) { return entry.value() == 0; });
        return standing;
    }

private:
    static std::string start(ChildProcess& process, const std::vector<std::string>& argv,
                             const std::string& log) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        std::string error = process.start(argv, currentEnvironment(), fd, false, false);
        ::close(fd);
        return error;
    }
    std::string startBluetoothd() {
        const std::string error = start(
            bluetoothd_,
            {"/usr/libexec/bluetooth/bluetoothd", "-n", "-d", "-f", folder_.path() + "/main.conf"},
            bluetoothdLog_);
        if (!error.empty())
            return error;
        auto bus = QDBusConnection::systemBus();
        if (!waitUntil([&] { return bus.interface()->isServiceRegistered("org.bluez").value(); }))
            return "bluetoothd did not take its name: " + readLogTail(bluetoothdLog_);
        return {};
    }

    TemporaryFolder folder_{"tovali-vm"};
    const char* results_ = std::getenv("TOVALI_VM_RESULTS");
    std::string bluetoothdLog_ =
        std::string(results_ ? results_ : folder_.path()) + "/bluetoothd.log";
    std::string callsLog_ = folder_.path() + "/calls.log";
    ChildProcess bluetoothd_;
    ChildProcess monitor_;
    AppWorld app_{AppWorld::Bluetooth::system};
    qsizetype callsBefore_ = 0; // lines of calls made to an earlier bluetoothd
    std::string error_;
};

class RealStack : public testing::Test {
protected:
    static void SetUpTestSuite() { world = new VmWorld; }
    static void TearDownTestSuite() {
        link.reset();
        delete central;
        delete world;
    }

    void SetUp() override { ASSERT_EQ(world->error(), "") << world->logs(); }

    /// The test watch, on its own controller, finds the computer on the air, connects and
    /// listens for signals; empty, or why not.
    static std::string reach() {
        const auto found = central->discover(discoveryMs);
        if (!found)
            return "the computer was not found";
        foundName = found->name;
        if (const QString error = central->connect(found->device); !error.isEmpty())
            return error.toStdString();
        if (const QString error = central->subscribe(gatt::signal); !error.isEmpty())
            return error.toStdString();
        link = std::make_unique<TestWatch>(*central, "Test Watch", key);
        return {};
    }

    /// Pairs the watch through the panel, as the user gives it the focus and, once it has been
    /// shown for a second, allows it with Return; true once the session is open.
    static bool pair() {
        const int before = central->notifications();
        if (!link->startPairing())
            return false;
        const auto panel =
            world->app().waitForWindow("Let “Test Watch” control this computer?", 10000);
        if (!panel)
            return false;
        world->app().focus(*panel);
        if (!world->app().waitForFocus(*panel))
            return false;
        waitUntil([] { return false; }, 1100);
        world->app().pressKey(XK_Return);
        return waitUntil([&] { return central->notifications() > before; }, 10000) &&
               link->finishSession();
    }

    /// The pointer moves by (dx, dy) within `timeoutMs`.
    static bool moves(std::int16_t dx, std::int16_t dy) {
        const auto start = world->app().pointer();
        link->move(dx, dy);
        return waitUntil([&] {
            const auto now = world->app().pointer();
            return now.x == start.x + dx && now.y == start.y + dy;
        });
    }

    /// Exactly one application and one advertisement stand, both on the peripheral's adapter.
    static bool oneRegistration() {
        const QMap<QString, int> expected{{"Application " + peripheralAdapter, 1},
                                          {"Advertisement " + peripheralAdapter, 1}};
        return waitUntil(
            [&] {
                const QMap<QString, int> standing = world->registrations();
                // Every advertisement bluetoothd holds for each adapter.
                const auto active = [](const QString& adapter) {
                    const QVariant count = bluezProperty(adapter, advertisingManagerInterface,
                                                         QStringLiteral("ActiveInstances"));
                    return count.isValid() ? count.toInt() : -1;
                };
                return standing == expected && active(peripheralAdapter) == 1 &&
                       active("/org/bluez/hci1") == 0 && active("/org/bluez/hci2") == 0;
            },
            10000);
    }

    static inline VmWorld* world = nullptr;
    static inline BluezCentral* central = nullptr;
    static inline const crypto::PrivateKey key = crypto::PrivateKey::generate();
    static inline std::unique_ptr<TestWatch> link;
    static inline QString foundName;
};

TEST_F(RealStack, advertisesTheServiceUnderTheComputersName) {
    central = new BluezCentral(QStringLiteral("/org/bluez/hci1"));
    ASSERT_EQ(reach(), "") << world->logs();
    EXPECT_EQ(foundName, "tovali-vm");
    const std::pair<Uuid, QStringList> expected[] = {
        {gatt::request, {"write"}},
        {gatt::reply, {"read"}},
        {gatt::signal, {"notify"}},
        {gatt::input, {"write-without-response"}},
    };
    for (const auto& [characteristic, flags] : expected)
        EXPECT_EQ(central->flags(characteristic), flags) << uuidText(characteristic).toStdString();
    EXPECT_TRUE(oneRegistration());
}

// The hello and the replies are longer than the MTU: long writes and blob reads carry them.
TEST_F(RealStack, pairsThroughThePanelThenMoves) {
    ASSERT_TRUE(link);
    ASSERT_TRUE(pair()) << world->logs();
    EXPECT_TRUE(moves(120, 80)) << world->logs();

    // From the watch's write to the pointer's first move, as the user feels it.
    std::vector<double> latencies;
    for (int i = 0; i < 60; ++i) {
        const auto start = world->app().pointer();
        const auto sent = Clock::now();
        link->move(i % 2 ? -4 : 4, 0);
        if (!waitUntil([&] { return world->app().pointer().x != start.x; }, 2000))
            continue;
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
    ASSERT_GE(latencies.size(), 50u);
    std::ranges::sort(latencies);
    std::printf("input packet to pointer move over %zu packets: median %.1f ms, 95th percentile "
                "%.1f ms\n",
                latencies.size(), latencies[latencies.size() / 2],
                latencies[latencies.size() * 95 / 100]);
}

TEST_F(RealStack, aDisconnectReleasesAHeldButton) {
    ASSERT_TRUE(link && link->sessionKey());
    link->button(MouseButton::left, ButtonAction::down);
    ASSERT_TRUE(waitUntil([] { return (world->app().pointer().buttons & Button1Mask) != 0; }));
    central->disconnect();
    EXPECT_TRUE(waitUntil([] { return (world->app().pointer().buttons & Button1Mask) == 0; }))
        << world->logs();
}

// bluetoothd announces the adapters in no fixed order after a restart: whatever the order, one
// adapter carries the service and the advertisement.
TEST_F(RealStack, isFoundAgainAfterBluetoothdRestarts) {
    ASSERT_TRUE(link);
    for (int restart = 0; restart < 3; ++restart) {
        ASSERT_EQ(world->restartBluetoothd(), "");
        EXPECT_TRUE(oneRegistration()) << "after restart " << restart + 1;
    }
    ASSERT_EQ(reach(), "") << world->logs();
    EXPECT_TRUE(link->openTrustedSession()) << "a trusted watch needs no new pairing";
    EXPECT_TRUE(moves(-30, 20));
    central->disconnect();
}

TEST_F(RealStack, isFoundAgainAfterTheAdapterIsPoweredOffAndOn) {
    ASSERT_TRUE(link);
    ASSERT_TRUE(VmWorld::powerCycle(0));
    ASSERT_EQ(reach(), "") << world->logs();
    EXPECT_TRUE(link->openTrustedSession());
    EXPECT_TRUE(moves(25, -15));
    EXPECT_TRUE(oneRegistration());
}

// A second watch must find the computer while the first one is connected. (Connecting both at
// once breaks both links under btvirt: bluetoothd sees the second link as already connected and
// the ATT channels mix up their responses, before the application is involved.)
TEST_F(RealStack, staysVisibleWhileAWatchIsConnected) {
    ASSERT_TRUE(link && central->connected());
    BluezCentral other(QStringLiteral("/org/bluez/hci2"));
    const auto found = other.discover(discoveryMs);
    ASSERT_TRUE(found) << world->logs();
    EXPECT_EQ(found->name, "tovali-vm");
    EXPECT_TRUE(central->connected());
}

} // namespace

#include "real_stack_test.moc"
