// The server on the BlueZ adapter, driven through a real D-Bus daemon by bluetoothd's stand-in
// and test watches: what a watch and bluetoothd see, and what the server makes of it.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bluez/bluez_peripheral_manager.hpp"
#include "support/bluez_stand_in.hpp"
#include "support/server_rig.hpp"
#include "support/session_bus.hpp"
#include "support/test_watch.hpp"

namespace tovali::test {
namespace {

const QString signal = QString::fromStdString(gatt::signal.toString()).toLower();
const QString characteristicPath = QStringLiteral("/tovali/gatt/service0/char");

int connections = 0;

// A server whose radio is bluetoothd's stand-in on a bus of the test's own.
struct BluezRig {
    SessionBus bus;
    std::unique_ptr<BluezStandIn> bluez;
    QString connectionName = QStringLiteral("tovali-app-%1").arg(++connections);
    ServerRig server;
    BluezPeripheralManager* manager = nullptr;

    BluezRig() {
        bluez = std::make_unique<BluezStandIn>(QString::fromStdString(bus.address()));
        server.makeManager = [this](PeripheralDelegate& delegate) {
            auto made = std::make_unique<BluezPeripheralManager>(
                delegate, QDBusConnection::connectToBus(QString::fromStdString(bus.address()),
                                                        connectionName));
            manager = made.get();
            return made;
        };
    }
    ~BluezRig() {
        server.server.reset();
        QDBusConnection::disconnectFromBus(connectionName);
    }

    bool statusIs(const Status& status, int timeoutMs = 5000) {
        return waitUntil([&] { return server.server->status().value() == status; }, timeoutMs);
    }
    /// Starts the server and waits until it advertises.
    bool startAdvertising() {
        server.start();
        return statusIs(Status::waiting()) && bluez->waitForRegistrations();
    }
    QString appName() const { return QDBusConnection(connectionName).baseService(); }
};

// A watch on a connected device of the stand-in, subscribed to the signal.
struct DeviceWatch {
    QString device;
    StandInRadio radio;
    TestWatch watch;

    DeviceWatch(BluezStandIn& bluez, const QString& address)
        : device(bluez.connectDevice(address)), radio(bluez, device), watch(radio, "Wrist") {
        bluez.subscribe(device, signal);
    }
};

const QString gattInterface = QStringLiteral("org.bluez.GattCharacteristic1");
const QString notPermitted = QStringLiteral("org.bluez.Error.NotPermitted");

QDBusMessage call(const QString& to, const QString& path, const QString& interface,
                  const QString& member, const QVariantList& arguments = {}) {
    auto message = QDBusMessage::createMethodCall(to, path, interface, member);
    message.setArguments(arguments);
    return message;
}

// The application answers on this thread, so the wait runs the event loop.
QDBusMessage callAndWait(QDBusConnection& bus, const QDBusMessage& message) {
    QDBusPendingCall pending = bus.asyncCall(message);
    waitUntil([&] { return pending.isFinished(); });
    return pending.reply();
}

QVariantMap deviceOption(const QString& device) {
    return {{QStringLiteral("device"), QVariant::fromValue(QDBusObjectPath(device))}};
}

// The service's shape is checked against the real bluetoothd in the VM test; the name's cut is
// ours.
TEST(BluezPeripheral, advertisesTheHostNameCutBetweenCharacters) {
    BluezRig rig;
    // 32 bytes: the scan response holds 29, and a cut there would split the "ü".
    rig.server.hostName.name = "Lars Møllers Arbeitsplatz Büro";
    ASSERT_TRUE(rig.startAdvertising());
    EXPECT_EQ(rig.bluez->advertisement()->localName, QStringLiteral("Lars Møllers Arbeitsplatz B"));
    EXPECT_EQ(rig.manager->state(), PeripheralState::poweredOn);
    EXPECT_TRUE(rig.manager->isAdvertising());
}

TEST(BluezPeripheral, registersAgainWhenBluetoothdOrTheAdapterComesBack) {
    BluezRig rig;
    ASSERT_TRUE(rig.startAdvertising());
    DeviceWatch wrist(*rig.bluez, "AA:BB:CC:DD:EE:06");
    wrist.watch.sayHello();
    ASSERT_EQ(rig.server.server->sessionCount(), 1u);
    std::vector<Status> shown;
    const auto subscription = rig.server.server->status().subscribe(
        [&](const Status& status) { shown.push_back(status); });
    auto registeredTimes = [&](int times) {
        return waitUntil([&] {
            return rig.bluez->applicationRegistrations() == times &&
                   rig.bluez->advertisementRegistrations() == times;
        });
    };

    rig.bluez->restart();
    ASSERT_TRUE(registeredTimes(2));
    ASSERT_TRUE(rig.statusIs(Status::waiting()));
    EXPECT_EQ(rig.server.server->sessionCount(), 0u);

    rig.bluez->removeAdapter();
    ASSERT_TRUE(waitUntil([&] { return rig.manager->state() == PeripheralState::resetting; }));
    rig.bluez->restoreAdapter();
    ASSERT_TRUE(registeredTimes(3));
    EXPECT_TRUE(rig.statusIs(Status::waiting()));
    // Neither a failure nor "unsupported" while the adapter's interfaces arrive one by one.
    for (const Status& status : shown) {
        EXPECT_TRUE(status == Status::starting() || status == Status::waiting())
            << statusText(status);
    }
}

TEST(BluezPeripheral, showsWhatBluetoothdRefuses) {
    BluezRig rig;
    const QString reason = QStringLiteral("No valid service object found");
    const Status failed = Status::failed("Could not start Bluetooth: " + reason.toStdString());
    rig.bluez->refuseRegistrations(QStringLiteral("org.bluez.Error.Failed"), reason);
    rig.server.start();
    EXPECT_TRUE(rig.statusIs(failed));

    // The next power-on tries again; a refused registration of our own after a restart shows
    // too, and nothing advertises a service that is not there.
    rig.bluez->refuseRegistrations({});
    rig.bluez->setPowered(false);
    rig.bluez->setPowered(true);
    ASSERT_TRUE(rig.statusIs(Status::waiting()));
    rig.bluez->refuseRegistrations(QStringLiteral("org.bluez.Error.Failed"), reason);
    rig.bluez->restart();
    ASSERT_TRUE(rig.statusIs(failed));
    rig.bluez->connectDevice("AA:BB:CC:DD:EE:09");
    EXPECT_FALSE(waitUntil([&] { return !(rig.server.server->status().value() == failed); }, 200))
        << statusText(rig.server.server->status().value());

    BluezRig denied;
    denied.bluez->denyAccess(true);
    denied.server.start();
    EXPECT_TRUE(denied.statusIs(Status::notAllowed()));

    BluezRig classic;
    classic.bluez->setLePeripheral(false);
    classic.bluez->restart();
    classic.server.start();
    EXPECT_TRUE(classic.statusIs(Status::unsupported()));
}

TEST(BluezPeripheral, waitsForBluetoothdToAppear) {
    BluezRig rig;
    rig.bluez->stop();
    rig.server.start();
    EXPECT_FALSE(rig.statusIs(Status::waiting(), 300));
    rig.bluez->start();
    EXPECT_TRUE(rig.statusIs(Status::waiting()));
}

TEST(BluezPeripheral, refusesEveryCallerButBluetoothd) {
    BluezRig rig;
    ASSERT_TRUE(rig.startAdvertising());
    DeviceWatch wrist(*rig.bluez, "AA:BB:CC:DD:EE:07");
    const QString app = rig.appName();
    const QString name = QStringLiteral("tovali-foreign");
    auto foreign = QDBusConnection::connectToBus(QString::fromStdString(rig.bus.address()), name);

    const QDBusMessage calls[] = {
        call(app, characteristicPath + "0", gattInterface, "WriteValue",
             {toQByteArray(wrist.watch.helloBytes()), deviceOption(wrist.device)}),
        call(app, characteristicPath + "1", gattInterface, "ReadValue",
             {deviceOption(wrist.device)}),
        call(app, "/tovali/gatt", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"),
        call(app, "/tovali/advertisement0", "org.bluez.LEAdvertisement1", "Release"),
    };
    for (const QDBusMessage& message : calls) {
        EXPECT_EQ(callAndWait(foreign, message).errorName(), notPermitted)
            << message.member().toStdString();
    }
    EXPECT_EQ(rig.server.server->sessionCount(), 0u);
    EXPECT_TRUE(rig.manager->isAdvertising());
    foreign = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name);
}

TEST(BluezPeripheral, refusesMalformedCallsFromBluetoothdWithoutReachingTheServer) {
    BluezRig rig;
    ASSERT_TRUE(rig.startAdvertising());
    DeviceWatch wrist(*rig.bluez, "AA:BB:CC:DD:EE:08");
    const QString app = rig.appName();
    const QByteArray hello = toQByteArray(wrist.watch.helloBytes());
    const QString request0 = characteristicPath + "0";
    const QVariant path = QVariant::fromValue(QDBusObjectPath(wrist.device));

    const std::pair<QDBusMessage, QString> cases[] = {
        {call(app, request0, gattInterface, "WriteValue", {hello, QVariantMap{}}), notPermitted},
        {call(app, request0, gattInterface, "WriteValue",
              {hello, QVariantMap{{"device", wrist.device}}}),
         notPermitted},
        {call(app, request0, gattInterface, "WriteValue",
              {hello, QVariantMap{{"device", path}, {"offset", QVariant::fromValue(quint32(0))}}}),
         notPermitted},
        {call(app, request0, gattInterface, "WriteValue", {deviceOption(wrist.device)}),
         notPermitted},
        {call(app, request0, gattInterface, "WriteValue",
              {QString("hello"), deviceOption(wrist.device)}),
         notPermitted},
        {call(app, characteristicPath + "9", gattInterface, "ReadValue",
              {deviceOption(wrist.device)}),
         "org.freedesktop.DBus.Error.UnknownObject"},
        {call(app, request0, gattInterface, "AcquireWrite", {deviceOption(wrist.device)}),
         "org.bluez.Error.NotSupported"},
    };
    const QDBusMessage introspect = call(app, "/tovali/gatt/service0/char2",
                                         "org.freedesktop.DBus.Introspectable", "Introspect");
    EXPECT_EQ(rig.bluez->callApplication(introspect).type(), QDBusMessage::ReplyMessage);
    for (const auto& [message, error] : cases) {
        EXPECT_EQ(rig.bluez->callApplication(message).errorName(), error)
            << message.member().toStdString() << " " << message.signature().toStdString();
    }
    EXPECT_EQ(rig.server.server->sessionCount(), 0u);
    EXPECT_TRUE(wrist.watch.startPairing()) << "a well-formed hello after them";
}

} // namespace
} // namespace tovali::test
