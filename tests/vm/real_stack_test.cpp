// The application against the real kernel Bluetooth stack and bluetoothd, in a virtual machine
// (tests/vm/run-vm): the application advertises on hci0, and test watches use BlueZ's central
// API on hci1 and hci2 over the emulated radio. The scenarios share one application and run in
// order; a watch paired in one is trusted in the next.
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QFile>
#include <QRegularExpression>
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

#include "support/app_world.hpp"
#include "support/test_watch.hpp"

// After Qt and the test support: Xlib's macros clash with them.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

using namespace tovali;
using namespace tovali::test;
using namespace tovali::bluez;
using Clock = std::chrono::steady_clock;

/// A UUID as BlueZ writes it.
QString uuidText(const Uuid& uuid) {
    return QString::fromStdString(uuid.toString()).toLower();
}

const QString service = uuidText(gatt::service);
// Rediscovery after a restart can miss bluetoothd's first scan windows of 10.24 s each.
constexpr int discoveryMs = 60000;
// Plain ATT as most watches use it, and an MTU small enough that replies take several reads.
constexpr const char* mainConf = "[GATT]\nChannels=1\nExchangeMTU=48\n[Policy]\nAutoEnable=true\n";

/// A call to bluetoothd; on failure, its error is what the call answers.
QDBusMessage callBluez(const QString& path, const QString& interface, const QString& method,
                       const QList<QVariant>& arguments = {}) {
    auto message = QDBusMessage::createMethodCall(busName, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message, QDBus::Block, 25000);
}
bool ok(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage;
}

/// A property of one of bluetoothd's objects; invalid when it has none.
QVariant bluezProperty(const QString& path, const QString& interface, const QString& name) {
    const QDBusMessage reply = callBluez(path, propertiesInterface, "Get", {interface, name});
    return ok(reply) ? reply.arguments().at(0).value<QDBusVariant>().variant() : QVariant();
}

/// bluetoothd's objects under `prefix` whose property is, or lists, `value`.
QStringList objectsWith(const QString& prefix, const QString& interface, const QString& property,
                        const QString& value) {
    const QDBusMessage reply = callBluez("/", objectManagerInterface, "GetManagedObjects");
    QStringList found;
    for (auto it : qdbus_cast<ManagedObjects>(reply.arguments().value(0)).asKeyValueRange()) {
        if (it.first.path().startsWith(prefix) &&
            it.second.value(interface).value(property).toStringList().contains(value))
            found << it.first.path();
    }
    return found;
}

/// A watch's side of the real radio: BlueZ's own central API on one controller of the system
/// bus, the way a phone or watch finds and uses a peripheral.
class BluezCentral : public QObject, public WatchRadio {
    Q_OBJECT
public:
    /// On the adapter at `adapter`, e.g. "/org/bluez/hci1".
    explicit BluezCentral(QString adapter) : adapter_(std::move(adapter)) {
        registerDBusTypes();
        QDBusConnection::systemBus().connect(busName, QString(), propertiesInterface,
                                             "PropertiesChanged", this,
                                             SLOT(onPropertiesChanged(QDBusMessage)));
    }

    /// Scans for an advertisement of the service until one is seen; what was cached before is
    /// forgotten first, so that what is found was on the air. Answers the device, or empty.
    QString discover(int timeoutMs) {
        for (const QString& device : offering())
            callBluez(adapter_, adapterInterface, "RemoveDevice",
                      {QVariant::fromValue(QDBusObjectPath(device))});
        callBluez(
            adapter_, adapterInterface, "SetDiscoveryFilter",
            {QVariantMap{{"UUIDs", QStringList{service}}, {"Transport", QStringLiteral("le")}}});
        const auto scan = [this] {
            callBluez(adapter_, adapterInterface, "StopDiscovery");
            return ok(callBluez(adapter_, adapterInterface, "StartDiscovery"));
        };
        // The first scan window after a restart often reports nothing; bluetoothd scans again.
        waitUntil(scan);
        // After bluetoothd restarts, whole scan windows can pass without a report; a fresh scan
        // is what a phone's user would start. A little longer than bluetoothd's window of 10.24 s.
        constexpr int scanMs = 12000;
        for (int left = timeoutMs;
             left > 0 && !waitUntil([&] { return !offering().isEmpty(); }, std::min(left, scanMs));
             left -= scanMs)
            scan();
        callBluez(adapter_, adapterInterface, "StopDiscovery");
        return offering().value(0);
    }

    /// Connects, waits for the services and counts the signals' notifications; retried, since
    /// the emulated link sometimes drops the first attempt.
    bool connect(const QString& device) {
        device_ = device;
        bool resolved = false;
        for (int attempt = 0; attempt < 3 && !resolved; ++attempt)
            resolved = ok(callBluez(device, deviceInterface, "Connect")) &&
                       waitUntil([&] { return property("ServicesResolved").toBool(); }, 15000);
        notifying_ = pathOf(gatt::signal);
        return resolved && ok(callBluez(notifying_, gattCharacteristicInterface, "StartNotify"));
    }
    void disconnect() { callBluez(device_, deviceInterface, "Disconnect"); }
    QVariant property(const QString& name) const {
        return bluezProperty(device_, deviceInterface, name);
    }
    int notifications() const { return notifications_; }

    std::uint64_t write(const Uuid& characteristic, Bytes value) override {
        // The input characteristic takes writes without response, as the watch sends them.
        const QString type = characteristic == gatt::input ? "command" : "request";
        // The central's API does not say which ATT error came back; "Unlikely Error" stands for
        // all.
        answers_.push_back(
            ok(callBluez(pathOf(characteristic), gattCharacteristicInterface, "WriteValue",
                         {toQByteArray(value), QVariantMap{{"type", type}}}))
                ? AttResult::success
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
        const QByteArray bytes = reply.arguments().value(0).toByteArray();
        return ok(reply) ? std::optional(Bytes(bytes.cbegin(), bytes.cend())) : std::nullopt;
    }

    QString pathOf(const Uuid& characteristic) const {
        return objectsWith(device_ + '/', gattCharacteristicInterface, "UUID",
                           uuidText(characteristic))
            .value(0);
    }

private Q_SLOTS:
    void onPropertiesChanged(const QDBusMessage& message) {
        if (!notifying_.isEmpty() && message.path() == notifying_ &&
            qdbus_cast<QVariantMap>(message.arguments().at(1)).contains("Value"))
            ++notifications_;
    }

private:
    /// The devices on this adapter known to offer the service.
    QStringList offering() const {
        return objectsWith(adapter_ + "/dev_", deviceInterface, "UUIDs", service);
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

std::string start(ChildProcess& process, const std::vector<std::string>& argv,
                  const std::string& log) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string error = process.start(argv, currentEnvironment(), fd, false, false);
    ::close(fd);
    return error;
}

/// The guest's side of the real stack: bluetoothd on the system bus the guest brought up, with
/// dbus-monitor noting the application's calls to it, and the real application in its own X
/// server and session bus, using the first controller.
struct VmWorld {
    VmWorld() {
        std::ofstream(folder.path() + "/main.conf") << mainConf;
        error = start(monitor,
                      {"dbus-monitor", "--system", "--monitor",
                       "type='method_call',interface='org.bluez.GattManager1'",
                       "type='method_call',interface='org.bluez.LEAdvertisingManager1'"},
                      callsLog);
        // It prints NameLost once it monitors.
        if (error.empty() && !waitUntil([&] { return contentsOf(callsLog).contains("NameLost"); }))
            error = "dbus-monitor did not start";
        if (error.empty())
            error = app.error();
        if (error.empty())
            error = startBluetoothd();
        if (error.empty())
            error = app.launch(TOVALI_EXECUTABLE);
    }

    std::string logs() const {
        return "tovali:\n" + app.log() + "\nbluetoothd:\n" + readLogTail(bluetoothdLog);
    }

    std::string startBluetoothd() {
        const std::string failed = start(
            bluetoothd,
            {"/usr/libexec/bluetooth/bluetoothd", "-n", "-d", "-f", folder.path() + "/main.conf"},
            bluetoothdLog);
        auto bus = QDBusConnection::systemBus();
        if (!failed.empty() ||
            waitUntil([&] { return bus.interface()->isServiceRegistered(busName).value(); }))
            return failed;
        return "bluetoothd did not take its name: " + readLogTail(bluetoothdLog);
    }

    /// SIGKILL, as a crash would end it, then a new bluetoothd; answers why it failed, or empty.
    std::string restartBluetoothd() {
        ::kill(bluetoothd.pid(), SIGKILL);
        waitUntil([&] { return !bluetoothd.exitDescription().empty(); });
        // Its registrations died with it.
        callsBefore = contentsOf(callsLog).count('\n');
        return startBluetoothd();
    }

    /// What the application has registered with the current bluetoothd, counted from its calls
    /// (registrations less unregistrations), by "Application path" and "Advertisement path",
    /// and the advertisements bluetoothd holds, by "ActiveInstances path"; none are left out.
    QMap<QString, int> registrations() const {
        static const QRegularExpression call(
            QStringLiteral("^method call .* path=([^;]+);.* member=(Register|Unregister)(\\w+)$"));
        QMap<QString, int> standing;
        for (const QByteArray& line : contentsOf(callsLog).split('\n').mid(callsBefore)) {
            if (const auto match = call.match(QString::fromUtf8(line)); match.hasMatch())
                standing[match.captured(3) + ' ' + match.captured(1)] +=
                    match.captured(2) == QStringLiteral("Register") ? 1 : -1;
        }
        for (const QString adapter : {"/org/bluez/hci0", "/org/bluez/hci1", "/org/bluez/hci2"})
            standing["ActiveInstances " + adapter] =
                bluezProperty(adapter, advertisingManagerInterface, "ActiveInstances").toInt();
        standing.removeIf([](const auto& entry) { return entry.value() == 0; });
        return standing;
    }

    TemporaryFolder folder{"tovali-vm"};
    const char* results = std::getenv("TOVALI_VM_RESULTS");
    std::string bluetoothdLog = std::string(results ? results : folder.path()) + "/bluetoothd.log";
    std::string callsLog = folder.path() + "/calls.log";
    ChildProcess bluetoothd;
    ChildProcess monitor;
    AppWorld app{AppWorld::Bluetooth::system};
    qsizetype callsBefore = 0; // lines of calls made to an earlier bluetoothd
    std::string error;         // why the world could not be made, or empty
};

class RealStack : public testing::Test {
protected:
    static void SetUpTestSuite() { world = new VmWorld; }
    static void TearDownTestSuite() {
        link.reset();
        delete central;
        delete world;
    }

    void SetUp() override { ASSERT_EQ(world->error, "") << world->logs(); }

    /// The test watch, on its own controller, finds the computer on the air, connects and
    /// listens for signals.
    static bool reach() {
        const QString device = central->discover(discoveryMs);
        if (device.isEmpty())
            return false;
        if (!central->connect(device))
            return false;
        link = std::make_unique<TestWatch>(*central, "Test Watch", key);
        return true;
    }

    /// The pointer moves by (dx, dy) within `timeoutMs`.
    static bool moves(std::int16_t dx, std::int16_t dy) {
        const auto start = world->app.pointer();
        link->move(dx, dy);
        return waitUntil([&] {
            const auto now = world->app.pointer();
            return now.x == start.x + dx && now.y == start.y + dy;
        });
    }

    /// Exactly one application and one advertisement stand, both on the peripheral's adapter,
    /// and bluetoothd advertises on no other.
    static bool oneRegistration() {
        const QMap<QString, int> expected{{"Application /org/bluez/hci0", 1},
                                          {"Advertisement /org/bluez/hci0", 1},
                                          {"ActiveInstances /org/bluez/hci0", 1}};
        return waitUntil([&] { return world->registrations() == expected; }, 10000);
    }

    /// The trusted watch finds the computer again and moves the pointer without a new pairing.
    static void comesBack() {
        ASSERT_TRUE(reach()) << world->logs();
        EXPECT_TRUE(link->openTrustedSession()) << "a trusted watch needs no new pairing";
        EXPECT_TRUE(moves(-30, 20));
        EXPECT_TRUE(oneRegistration());
    }

    static inline VmWorld* world = nullptr;
    static inline BluezCentral* central = nullptr;
    static inline const crypto::PrivateKey key = crypto::PrivateKey::generate();
    static inline std::unique_ptr<TestWatch> link;
};

// The name it advertises is checked by the second watch, which finds it later.
TEST_F(RealStack, advertisesTheServiceUnderTheComputersName) {
    central = new BluezCentral(QStringLiteral("/org/bluez/hci1"));
    ASSERT_TRUE(reach()) << world->logs();
    QStringList flags;
    for (const Uuid& characteristic : {gatt::request, gatt::reply, gatt::signal, gatt::input})
        flags << bluezProperty(central->pathOf(characteristic), gattCharacteristicInterface,
                               "Flags")
                     .toStringList()
                     .join('+');
    EXPECT_EQ(flags.join(' '), "write read notify write-without-response");
    EXPECT_TRUE(oneRegistration());
}

// The hello and the replies are longer than the MTU: long writes and blob reads carry them.
// The user gives the panel the focus and, once it has been shown for a second, allows the watch
// with Return.
TEST_F(RealStack, pairsThroughThePanelThenMoves) {
    const int before = central->notifications();
    ASSERT_TRUE(link && link->startPairing()) << world->logs();
    const auto panel = world->app.waitForWindow("Let “Test Watch” control this computer?", 10000);
    ASSERT_TRUE(panel) << world->logs();
    world->app.focus(*panel);
    ASSERT_TRUE(world->app.waitForFocus(*panel));
    waitUntil([] { return false; }, 1100);
    world->app.pressKey(XK_Return);
    ASSERT_TRUE(waitUntil([&] { return central->notifications() > before; }, 10000) &&
                link->finishSession())
        << world->logs();
    EXPECT_TRUE(moves(120, 80)) << world->logs();

    // From the watch's write to the pointer's first move, as the user feels it.
    std::vector<double> latencies;
    for (int i = 0; i < 60; ++i) {
        const auto start = world->app.pointer();
        const auto sent = Clock::now();
        link->move(i % 2 ? -4 : 4, 0);
        if (waitUntil([&] { return world->app.pointer().x != start.x; }, 2000))
            latencies.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
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
    ASSERT_TRUE(waitUntil([] { return (world->app.pointer().buttons & Button1Mask) != 0; }));
    central->disconnect();
    EXPECT_TRUE(waitUntil([] { return (world->app.pointer().buttons & Button1Mask) == 0; }))
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
    comesBack();
    central->disconnect();
}

// btmgmt switches the controller off and on behind bluetoothd, as suspend and resume do.
TEST_F(RealStack, isFoundAgainAfterTheAdapterIsPoweredOffAndOn) {
    ASSERT_TRUE(link);
    ASSERT_EQ(std::system("btmgmt --index 0 power off >/dev/null && "
                          "btmgmt --index 0 power on >/dev/null"),
              0);
    comesBack();
}

// A second watch must find the computer, under its name, while the first one is connected.
// (Connecting both at once breaks both links under btvirt: bluetoothd sees the second link as
// already connected and the ATT channels mix up their responses, before the application is
// involved.)
TEST_F(RealStack, staysVisibleWhileAWatchIsConnected) {
    ASSERT_TRUE(link && central->property("Connected").toBool());
    const QString found = BluezCentral(QStringLiteral("/org/bluez/hci2")).discover(discoveryMs);
    ASSERT_FALSE(found.isEmpty()) << world->logs();
    EXPECT_EQ(bluezProperty(found, deviceInterface, "Name").toString(), "tovali-vm");
    EXPECT_TRUE(central->property("Connected").toBool());
}

} // namespace

#include "real_stack_test.moc"
