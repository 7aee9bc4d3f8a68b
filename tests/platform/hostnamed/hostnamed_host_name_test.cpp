#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QTimer>
#include <climits>
#include <functional>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/hostnamed/hostnamed_host_name.hpp"
#include "support/session_bus.hpp"

namespace tovali {
namespace {

const QString service = QStringLiteral("org.freedesktop.hostname1");
const QString path = QStringLiteral("/org/freedesktop/hostname1");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
int connections = 0;

std::string kernelHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    ::gethostname(name, sizeof name - 1);
    return name;
}

// The answers arrive on this thread, so waiting runs the event loop.
bool waitUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(5000);
    QTimer wake; // so that a quiet loop still notices the deadline
    wake.start(5);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return done();
}

// hostnamed as the adapter sees it: the PrettyHostname property and its change signal.
class HostnamedStandIn : public QDBusVirtualObject {
public:
    HostnamedStandIn(const std::string& address, QString prettyName)
        : bus_(QDBusConnection::connectToBus(QString::fromStdString(address),
                                             QStringLiteral("hostnamed-%1").arg(++connections))),
          prettyName_(std::move(prettyName)) {
        registered = bus_.registerVirtualObject(path, this) && bus_.registerService(service);
    }
    ~HostnamedStandIn() override { QDBusConnection::disconnectFromBus(bus_.name()); }

    /// Renames, and says so with the new value or, as services may, without it.
    void rename(const QString& prettyName, bool withValue) {
        prettyName_ = prettyName;
        auto signal = QDBusMessage::createSignal(path, properties, "PropertiesChanged");
        signal << service
               << (withValue ? QVariantMap{{"PrettyHostname", prettyName}} : QVariantMap())
               << (withValue ? QStringList() : QStringList{"PrettyHostname"});
        bus_.send(signal);
    }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        return message.member() == "Get" &&
               bus.send(message.createReply(QVariant::fromValue(QDBusVariant(prettyName_))));
    }
    QString introspect(const QString&) const override { return {}; }

    bool registered = false;

private:
    QDBusConnection bus_;
    QString prettyName_;
};

class HostnamedHostNameTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bus.running()) << bus.error(); }
    void TearDown() override { QDBusConnection::disconnectFromBus(app.name()); }

    test::SessionBus bus;
    QDBusConnection app = QDBusConnection::connectToBus(
        QString::fromStdString(bus.address()), QStringLiteral("app-%1").arg(++connections));
};

TEST_F(HostnamedHostNameTest, localizedName_isThePrettyNameWhileSetElseTheKernelsName) {
    EXPECT_EQ(HostnamedHostName(QDBusConnection("none")).localizedName(), kernelHostName());

    HostnamedHostName late(app);
    // Answers on one connection come in order: once this one is in, so is the adapter's.
    auto get = QDBusMessage::createMethodCall(service, path, properties, "Get");
    QDBusPendingCallWatcher probe(app.asyncCall(get << service << "PrettyHostname"));
    bool answered = false;
    QObject::connect(&probe, &QDBusPendingCallWatcher::finished, [&] { answered = true; });
    ASSERT_TRUE(waitUntil([&] { return answered; }));
    EXPECT_EQ(late.localizedName(), kernelHostName());

    HostnamedStandIn hostnamed(bus.address(), QStringLiteral("Lars’s Laptop"));
    ASSERT_TRUE(hostnamed.registered);
    HostnamedHostName early(app);
    auto bothAre = [&](const std::string& name) {
        return waitUntil(
            [&] { return early.localizedName() == name && late.localizedName() == name; });
    };
    EXPECT_TRUE(waitUntil([&] { return early.localizedName() == "Lars’s Laptop"; }));
    hostnamed.rename(QStringLiteral("Workshop"), true);
    EXPECT_TRUE(bothAre("Workshop"));
    hostnamed.rename(QStringLiteral("Desk"), false);
    EXPECT_TRUE(bothAre("Desk"));
    hostnamed.rename(QString(), true);
    EXPECT_TRUE(bothAre(kernelHostName()));
}

} // namespace
} // namespace tovali
