// The server on the BlueZ adapter, driven through a real D-Bus daemon by bluetoothd's stand-in:
// what the adapter alone decides. The application's own tests run the happy paths.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/bluez/bluez_peripheral_manager.hpp"
#include "platform/bluez/gatt_application.hpp"
#include "support/bluez_stand_in.hpp"
#include "support/server_rig.hpp"
#include "support/session_bus.hpp"
#include "support/test_watch.hpp"

namespace tovali::test {
namespace {

// A server whose radio is bluetoothd's stand-in on a bus of the test's own.
struct BluezRig {
    SessionBus bus;
    QString address = QString::fromStdString(bus.address());
    BluezStandIn bluez{address};
    QString connectionName = QStringLiteral("tovali-app");
    ServerRig server;
    BluezPeripheralManager* manager = nullptr;

    BluezRig() {
        server.makeManager = [this](PeripheralDelegate& delegate) {
            auto made = std::make_unique<BluezPeripheralManager>(
                delegate, QDBusConnection::connectToBus(address, connectionName));
            manager = made.get();
            return made;
        };
    }
    ~BluezRig() {
        server.server.reset();
        QDBusConnection::disconnectFromBus(connectionName);
    }
    Status status() const { return server.server->status().value(); }
    bool statusIs(const Status& status, int timeoutMs = 5000) {
        return waitUntil([&] { return this->status() == status; }, timeoutMs);
    }
};

TEST(BluezPeripheral, advertisedName_isCutToTheScanResponseBetweenCharacters) {
    const std::pair<std::string, QString> cases[] = {
        {"Desk", "Desk"},
        {std::string(29, 'a'), QString(29, 'a')},
        {"Lars Møllers Arbeitsplatz Büro", "Lars Møllers Arbeitsplatz B"},
        {std::string(26, 'a') + "😀", QString(26, 'a')},
    };
    for (const auto& [name, advertised] : cases)
        EXPECT_EQ(bluez::advertisedName(name), advertised) << name;
}

// One adapter through the states bluetoothd can be in: what shows, and that each way out
// advertises again.
TEST(BluezPeripheral, showsWhatBluetoothdRefusesAndRecovers) {
    BluezRig rig;
    rig.bluez.stop();
    rig.bluez.setLePeripheral(false);
    rig.server.start();
    EXPECT_FALSE(rig.statusIs(Status::waiting(), 300));
    rig.bluez.start();
    EXPECT_TRUE(rig.statusIs(Status::unsupported())) << statusText(rig.status());
    rig.bluez.setLePeripheral(true);
    rig.bluez.restart();
    ASSERT_TRUE(rig.statusIs(Status::waiting()) && rig.bluez.waitForRegistrations());

    // A restart of bluetoothd ends the sessions on its links; the controller's removal shows
    // neither a failure nor "unsupported" while its interfaces come back one by one.
    StandInRadio radio(rig.bluez, rig.bluez.connectDevice("AA:BB:CC:DD:EE:06"));
    TestWatch(radio, "Wrist").sayHello();
    ASSERT_EQ(rig.server.server->sessionCount(), 1u);
    std::vector<Status> shown;
    const auto subscription = rig.server.server->status().subscribe(
        [&](const Status& status) { shown.push_back(status); });
    const auto registeredTimes = [&](int times) {
        return waitUntil([&] { return rig.bluez.applicationRegistrations() == times; }) &&
               waitUntil([&] { return rig.bluez.advertisementRegistrations() == times; });
    };
    rig.bluez.restart();
    ASSERT_TRUE(registeredTimes(2) && rig.statusIs(Status::waiting()));
    EXPECT_EQ(rig.server.server->sessionCount(), 0u);
    rig.bluez.removeAdapter();
    ASSERT_TRUE(waitUntil([&] { return rig.manager->state() == PeripheralState::resetting; }));
    rig.bluez.restoreAdapter();
    EXPECT_TRUE(registeredTimes(3) && rig.statusIs(Status::waiting()));
    for (const Status& status : shown)
        EXPECT_TRUE(status == Status::starting() || status == Status::waiting())
            << statusText(status);

    // A refusal of the registration we make on our own, after bluetoothd's restart, shows, and
    // nothing advertises a service that is not there; the next power-on tries again.
    const QString reason = QStringLiteral("No valid service object found");
    const Status failed = Status::failed("Could not start Bluetooth: " + reason.toStdString());
    rig.bluez.refuseRegistrations(bluez::failedError, reason);
    rig.bluez.restart();
    ASSERT_TRUE(rig.statusIs(failed)) << statusText(rig.status());
    rig.bluez.connectDevice("AA:BB:CC:DD:EE:09");
    EXPECT_FALSE(waitUntil([&] { return !(rig.status() == failed); }, 200));
    rig.bluez.refuseRegistrations({});
    rig.bluez.setPowered(false);
    EXPECT_TRUE(rig.statusIs(Status::bluetoothOff())) << statusText(rig.status());
    rig.bluez.setPowered(true);
    EXPECT_TRUE(rig.statusIs(Status::waiting())) << statusText(rig.status());
    // The kernel dropped the advertisement at power off, though bluetoothd said only "on".
    const int advertised = rig.bluez.advertisementRegistrations();
    rig.bluez.powerCycle();
    EXPECT_TRUE(waitUntil([&] { return rig.bluez.advertisementRegistrations() > advertised; }));
    rig.bluez.denyAccess(true);
    rig.bluez.restart();
    EXPECT_TRUE(rig.statusIs(Status::notAllowed())) << statusText(rig.status());
}

// A stranger that connects and neither pairs nor is trusted is cut after a while; the user's
// own devices, paired in the system's settings or on another adapter, are left alone.
TEST(BluezPeripheral, idleStrangersAreCut_theUsersOwnDevicesAreNot) {
    BluezRig rig;
    rig.server.start();
    ASSERT_TRUE(rig.statusIs(Status::waiting()) && rig.bluez.waitForRegistrations());
    const std::size_t timers = rig.server.loop.activeTimerCount();
    const QString elsewhere =
        rig.bluez.connectDevice("AA:BB:CC:DD:EE:01", false, QStringLiteral("/org/bluez/hci1"));
    const QString stranger = rig.bluez.connectDevice("AA:BB:CC:DD:EE:02");
    const QString headphones = rig.bluez.connectDevice("AA:BB:CC:DD:EE:03", true);
    // Each connection on our adapter is timed, and only those.
    ASSERT_TRUE(waitUntil([&] { return rig.server.loop.activeTimerCount() == timers + 2; }));
    rig.server.loop.advance(BluetoothServer::idleCentralSeconds + 1);
    EXPECT_TRUE(waitUntil([&] { return !rig.bluez.isConnected(stranger); }));
    EXPECT_FALSE(waitUntil(
        [&] { return !rig.bluez.isConnected(headphones) || !rig.bluez.isConnected(elsewhere); },
        200));
    EXPECT_EQ(rig.server.loop.activeTimerCount(), timers);
}

// Only bluetoothd may drive the objects, and only with the argument types it sends; anything
// else is refused before the server hears of it.
TEST(BluezPeripheral, refusesForeignCallersAndMalformedCalls) {
    BluezRig rig;
    rig.server.start();
    ASSERT_TRUE(rig.statusIs(Status::waiting()) && rig.bluez.waitForRegistrations());
    const QString device = rig.bluez.connectDevice("AA:BB:CC:DD:EE:08");
    StandInRadio radio(rig.bluez, device);
    TestWatch watch(radio, "Wrist");
    const QString app = QDBusConnection(rig.connectionName).baseService();
    const QVariant path = QVariant::fromValue(QDBusObjectPath(device));
    const QVariantMap from{{"device", path}};
    const QByteArray hello = toQByteArray(watch.helloBytes());
    // Without an interface, as D-Bus allows: the checks are the arguments'.
    auto call = [&](const QString& object, const char* member, const QVariantList& arguments) {
        auto message = QDBusMessage::createMethodCall(app, "/tovali/" + object, {}, member);
        message.setArguments(arguments);
        return message;
    };
    const QString request = "gatt/service0/char0", reply = "gatt/service0/char1";
    const QString notPermitted = bluez::notPermittedError;
    const QVariantMap offset32{{"device", path}, {"offset", QVariant::fromValue(quint32(0))}};
    // The options bluetoothd adds are ignored; the offset is past this central's empty reply.
    const QVariantMap pastTheEnd{{"device", path},
                                 {"offset", QVariant::fromValue(quint16(1))},
                                 {"link", "LE"},
                                 {"mtu", QVariant::fromValue(quint16(23))}};
    const struct {
        const char* label;
        bool fromBluetoothd;
        QDBusMessage message;
        QString error;
    } cases[] = {
        {"stranger writes", false, call(request, "WriteValue", {hello, from}), notPermitted},
        {"stranger reads", false, call(reply, "ReadValue", {from}), notPermitted},
        {"stranger lists", false, call("gatt", "GetManagedObjects", {}), notPermitted},
        {"stranger releases", false, call("advertisement0", "Release", {}), notPermitted},
        {"no device", true, call(request, "WriteValue", {hello, QVariantMap{}}), notPermitted},
        {"device as text", true,
         call(request, "WriteValue", {hello, QVariantMap{{"device", device}}}), notPermitted},
        {"offset as u", true, call(request, "WriteValue", {hello, offset32}), notPermitted},
        {"no value", true, call(request, "WriteValue", {from}), notPermitted},
        {"value as text", true, call(request, "WriteValue", {"hello", from}), notPermitted},
        {"no such characteristic", true, call("gatt/service0/char9", "ReadValue", {from}),
         "org.freedesktop.DBus.Error.UnknownObject"},
        {"acquire", true, call(request, "AcquireWrite", {from}), "org.bluez.Error.NotSupported"},
        {"offset past the end", true, call(reply, "ReadValue", {pastTheEnd}),
         bluez::invalidOffsetError},
    };
    const QDBusConnection stranger = QDBusConnection::connectToBus(rig.address, "tovali-foreign");
    const QDBusConnection bluetoothd = rig.bluez.connection();
    for (const auto& c : cases) {
        EXPECT_EQ(callAndWait(c.fromBluetoothd ? bluetoothd : stranger, c.message).errorName(),
                  c.error)
            << c.label;
    }
    EXPECT_EQ(rig.server.server->sessionCount(), 0u);
    EXPECT_TRUE(rig.manager->isAdvertising());
    EXPECT_TRUE(watch.startPairing()) << "a well-formed hello after them";
    QDBusConnection::disconnectFromBus("tovali-foreign");
}

} // namespace
} // namespace tovali::test
