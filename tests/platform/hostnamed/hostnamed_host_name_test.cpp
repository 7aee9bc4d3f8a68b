#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QSysInfo>
#include <string>

#include <gtest/gtest.h>

#include "platform/hostnamed/hostnamed_host_name.hpp"
#include "support/bluez_stand_in.hpp"
#include "support/session_bus.hpp"

namespace tovali {
namespace {

using test::waitUntil;

const QString service = QStringLiteral("org.freedesktop.hostname1");
const QString path = QStringLiteral("/org/freedesktop/hostname1");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");

// hostnamed as the adapter sees it: the PrettyHostname property and its change signal.
class HostnamedStandIn : public QDBusVirtualObject {
public:
    HostnamedStandIn(const QString& address, QString prettyName)
        : bus_(QDBusConnection::connectToBus(address, "hostnamed")), name_(std::move(prettyName)) {
        bus_.registerVirtualObject(path, this);
        bus_.registerService(service);
    }
    ~HostnamedStandIn() override { QDBusConnection::disconnectFromBus(bus_.name()); }

    /// Renames, and says so with the new value or, as services may, without it.
    void rename(const QString& prettyName, bool withValue) {
        name_ = prettyName;
        auto signal = QDBusMessage::createSignal(path, properties, "PropertiesChanged");
        bus_.send(signal << service
                         << (withValue ? QVariantMap{{"PrettyHostname", name_}} : QVariantMap())
                         << (withValue ? QStringList() : QStringList{"PrettyHostname"}));
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        return message.member() == "Get" &&
               bus.send(message.createReply(QVariant::fromValue(QDBusVariant(name_))));
    }
    QString introspect(const QString&) const override { return {}; }

private:
    QDBusConnection bus_;
    QString name_;
};

TEST(HostnamedHostName, localizedName_isThePrettyNameWhileSetElseTheKernelsName) {
    const std::string kernelHostName = QSysInfo::machineHostName().toStdString();
    EXPECT_EQ(HostnamedHostName(QDBusConnection("none")).localizedName(), kernelHostName);
    test::SessionBus bus;
    ASSERT_TRUE(bus.running()) << bus.error();
    const QString address = QString::fromStdString(bus.address());
    QDBusConnection app = QDBusConnection::connectToBus(address, "app");

    HostnamedHostName late(app);
    // Answers on one connection come in order: once this one is in, so is the adapter's.
    auto get = QDBusMessage::createMethodCall(service, path, properties, "Get");
    QDBusPendingCall probe = app.asyncCall(get << service << "PrettyHostname");
    ASSERT_TRUE(waitUntil([&] { return probe.isFinished(); }));
    EXPECT_EQ(late.localizedName(), kernelHostName);

    HostnamedStandIn hostnamed(address, QStringLiteral("Lars’s Laptop"));
    HostnamedHostName early(app);
    EXPECT_TRUE(waitUntil([&] { return early.localizedName() == "Lars’s Laptop"; }));
    const std::pair<QString, bool> renames[] = {{"Workshop", true}, {"Desk", false}, {"", true}};
    for (const auto& [name, withValue] : renames) {
        hostnamed.rename(name, withValue);
        const std::string expected = name.isEmpty() ? kernelHostName : name.toStdString();
        EXPECT_TRUE(waitUntil([&] {
            return early.localizedName() == expected && late.localizedName() == expected;
        })) << expected;
    }
    QDBusConnection::disconnectFromBus("app");
}

} // namespace
} // namespace tovali
