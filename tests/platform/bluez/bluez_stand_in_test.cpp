#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>
#include <memory>

#include <gtest/gtest.h>

#include "support/bluez_stand_in.hpp"
#include "support/session_bus.hpp"

namespace tovali::test {
namespace {

using InterfaceMap = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;

const QString serviceUuid = "dd68ee22-80de-405e-9088-15e661cf85ed";
const QString characteristicUuid = "dd68ee23-80de-405e-9088-15e661cf85ed";

/// One service with one characteristic under /app, served from a connection of its own.
class TinyApp : public QDBusVirtualObject {
public:
    TinyApp(const std::string& address, QStringList flags) : flags_(std::move(flags)) {
        static int apps = 0;
        name_ = QStringLiteral("tiny-app-%1").arg(++apps);
        bus_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(address), name_));
        bus_->registerVirtualObject("/app", this, QDBusConnection::SubPath);
    }
    ~TinyApp() override {
        bus_.reset();
        QDBusConnection::disconnectFromBus(name_);
    }

    QDBusConnection& bus() { return *bus_; }

    // Asynchronous, as the application must: the stand-in reads the objects meanwhile.
    QDBusMessage registerApplication() {
        QDBusMessage call = QDBusMessage::createMethodCall(
            "org.bluez", "/org/bluez/hci0", "org.bluez.GattManager1", "RegisterApplication");
        call << QVariant::fromValue(QDBusObjectPath("/app")) << QVariantMap();
        QDBusPendingCall pending = bus_->asyncCall(call);
        waitUntil([&pending] { return pending.isFinished(); });
        return pending.reply();
    }

    QVariantMap lastOptions() const {
        return qdbus_cast<QVariantMap>(calls.last().arguments().last());
    }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        calls.append(message);
        if (message.member() == "GetManagedObjects") {
            const QDBusObjectPath service("/app/service");
            const ManagedObjects objects{
                {service, {{"org.bluez.GattService1", {{"UUID", serviceUuid}, {"Primary", true}}}}},
                {QDBusObjectPath("/app/service/char0"),
                 {{"org.bluez.GattCharacteristic1",
                   {{"UUID", characteristicUuid},
                    {"Service", QVariant::fromValue(service)},
                    {"Flags", flags_}}}}}};
            connection.send(message.createReply(QVariant::fromValue(objects)));
        } else if (message.member() == "ReadValue") {
            connection.send(message.createReply(QByteArray(40, 'r')));
        } else if (message.member() == "WriteValue") {
            connection.send(writeError.isEmpty()
                                ? message.createReply()
                                : message.createErrorReply("org.bluez.Error.Failed", writeError));
        } else {
            return false;
        }
        return true;
    }

    QList<QDBusMessage> calls;
    QString writeError;

private:
    QStringList flags_;
    QString name_;
    std::unique_ptr<QDBusConnection> bus_;
};

/// A private bus with the stand-in on it.
struct Rig {
    SessionBus bus;
    BluezStandIn bluez{QString::fromStdString(bus.address())};
};

TEST(BluezStandIn, registration_readsTheObjectsAtThatPath_andRefusesItTwice) {
    Rig rig;
    ASSERT_TRUE(rig.bluez.running()) << rig.bus.error();
    BluezStandIn& bluez = rig.bluez;
    TinyApp app(rig.bus.address(), {"read", "write"});
    EXPECT_EQ(app.registerApplication().type(), QDBusMessage::ReplyMessage);
    ASSERT_EQ(app.calls.size(), 1);
    EXPECT_EQ(app.calls[0].path(), "/app");
    EXPECT_EQ(app.calls[0].member(), "GetManagedObjects");
    ASSERT_TRUE(bluez.application());
    EXPECT_EQ(bluez.application()->owner, app.bus().baseService());
    EXPECT_EQ(bluez.application()->serviceUuid, serviceUuid);
    ASSERT_EQ(bluez.application()->characteristics.size(), 1U);
    EXPECT_EQ(bluez.application()->characteristics[0].service, "/app/service");

    EXPECT_EQ(app.registerApplication().errorName(), "org.bluez.Error.AlreadyExists");
    EXPECT_EQ(bluez.applicationRegistrations(), 1);
}

TEST(BluezStandIn, registration_unknownOrNoFlags_failsAsNoValidService) {
    Rig rig;
    ASSERT_TRUE(rig.bluez.running()) << rig.bus.error();
    for (const QStringList& flags : {QStringList{"read", "notfy"}, QStringList{}}) {
        TinyApp app(rig.bus.address(), flags);
        const QDBusMessage reply = app.registerApplication();
        EXPECT_EQ(reply.errorName(), "org.bluez.Error.Failed") << flags.join(',').toStdString();
        EXPECT_EQ(reply.errorMessage(), "No valid service object found");
    }
    EXPECT_FALSE(rig.bluez.application());
}

TEST(BluezStandIn, restart_ownsOrgBluezUnderANewName_andForgetsTheRegistration) {
    Rig rig;
    ASSERT_TRUE(rig.bluez.running()) << rig.bus.error();
    BluezStandIn& bluez = rig.bluez;
    TinyApp app(rig.bus.address(), {"read"});
    ASSERT_EQ(app.registerApplication().type(), QDBusMessage::ReplyMessage);
    const QString before = bluez.uniqueName();

    bluez.restart();
    EXPECT_NE(bluez.uniqueName(), before);
    EXPECT_EQ(app.bus().interface()->serviceOwner("org.bluez").value(), bluez.uniqueName());
    EXPECT_TRUE(waitUntil([&] { return !app.bus().interface()->isServiceRegistered(before); }));
    EXPECT_FALSE(bluez.application());
    EXPECT_EQ(app.registerApplication().type(), QDBusMessage::ReplyMessage);
}

TEST(BluezStandIn, readAndWrite_carryTheDeviceAndOnlyANonZeroOffset_andMapErrors) {
    Rig rig;
    ASSERT_TRUE(rig.bluez.running()) << rig.bus.error();
    BluezStandIn& bluez = rig.bluez;
    TinyApp app(rig.bus.address(), {"read", "write"});
    ASSERT_EQ(app.registerApplication().type(), QDBusMessage::ReplyMessage);
    const QString device = bluez.connectDevice("aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(device, "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF");

    EXPECT_EQ(bluez.write(device, characteristicUuid.toUpper(), "hi").error, 0);
    EXPECT_EQ(app.calls.last().arguments().first().toByteArray(), "hi");
    QVariantMap options = app.lastOptions();
    EXPECT_EQ(options.value("device").value<QDBusObjectPath>().path(), device);
    EXPECT_EQ(options.value("mtu").metaType(), QMetaType::fromType<ushort>());
    EXPECT_FALSE(options.contains("offset"));

    app.writeError = "0x81";
    const AttAnswer refused = bluez.write(device, characteristicUuid, "xy", 5);
    EXPECT_EQ(refused.error, 0x81);
    EXPECT_EQ(refused.dbusError, "org.bluez.Error.Failed");
    options = app.lastOptions();
    EXPECT_EQ(options.value("offset").metaType(), QMetaType::fromType<ushort>());
    EXPECT_EQ(options.value("offset").toUInt(), 5U);

    const AttAnswer read = bluez.read(device, characteristicUuid);
    EXPECT_EQ(read.error, 0);
    EXPECT_EQ(read.value, QByteArray(22, 'r')); // MTU 23 - 1
    EXPECT_FALSE(app.lastOptions().contains("offset"));
}

} // namespace
} // namespace tovali::test
