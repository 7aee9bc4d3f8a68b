#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QSet>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "platform/bluez/dbus_types.hpp"
#include "support/test_watch.hpp"

namespace tovali::test {

using bluez::toQByteArray;

/// Runs the Qt event loop until `done` answers true or `timeoutMs` has passed; answers `done()`.
/// Tests wait this way because the application answers bluetoothd on the same thread.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);
/// The answer to a call on `bus`, waited for that way.
QDBusMessage callAndWait(const QDBusConnection& bus, const QDBusMessage& call);

/// bluetoothd as the adapter meets it, on a private bus, with what the behaviour tests rely on:
/// one adapter, /org/bluez/hci0, that registers the application and its advertisement, and
/// centrals that write, read and subscribe. The finer rules of the real one are met in the VM
/// test. It works on the caller's thread: every wait runs the event loop.
class BluezStandIn : public QDBusVirtualObject {
    Q_OBJECT
public:
    /// Connects to the bus at `address` and takes org.bluez, with one powered adapter.
    explicit BluezStandIn(QString address);
    ~BluezStandIn() override { stop(); }

    /// True once it owns org.bluez.
    bool running() const { return !name_.isEmpty(); }
    /// Its connection while it runs, for calls of a test's own; keep no copy past stop().
    QDBusConnection connection() const { return QDBusConnection(name_); }
    /// Leaves the bus, as bluetoothd does when it exits: every registration and device is gone,
    /// and nothing is said to the application.
    void stop();
    /// Back on the bus under a new unique name.
    void start();
    void restart() {
        stop();
        start();
    }

    /// A power off disconnects every device and keeps the registrations, as 5.66 does.
    void setPowered(bool on);
    /// Off and on so close together that bluetoothd announces only "on".
    void powerCycle();
    /// The controller goes away: the advertisement gets Release(), the registrations are
    /// dropped silently, and the adapter's objects go with InterfacesRemoved.
    void removeAdapter();
    /// The adapter comes back, the advertising manager in a signal of its own, as 5.66 sends it.
    void restoreAdapter();
    /// Whether the adapter offers the "peripheral" role and its managers; restart to tell.
    void setLePeripheral(bool supported) { lePeripheral_ = supported; }
    /// Until cleared with an empty name, every registration is answered with this error.
    void refuseRegistrations(const QString& errorName, const QString& message = {}) {
        refusal_ = {errorName, message};
    }
    /// Every call to org.bluez is answered with AccessDenied.
    void denyAccess(bool denied) { accessDenied_ = denied; }

    /// Successful registrations since construction.
    int applicationRegistrations() const { return applicationRegistrations_; }
    int advertisementRegistrations() const { return advertisementRegistrations_; }
    bool waitForRegistrations(int timeoutMs = 5000) {
        return waitUntil([&] { return !applicationOwner_.isEmpty() && advertisement_; }, timeoutMs);
    }

    // Centrals, each named by its device object path.
    /// A device with this address connects: its object appears or turns Connected. One of the
    /// user's own may be paired, or on another adapter, which the stand-in does not show.
    QString connectDevice(const QString& address, bool paired = false,
                          const QString& adapter = adapterPath);
    bool isConnected(const QString& device) const {
        return devices_.contains(device) && devices_.at(device).connected;
    }
    /// Connected = false; its subscriptions end, as for a central that is not bonded.
    void disconnectDevice(const QString& device);
    /// StartNotify on the characteristic for this device.
    void subscribe(const QString& device, const QString& uuid);
    /// The values notified to this device, oldest first.
    QList<QByteArray> notifications(const QString& device) const {
        return notifications_.value(device);
    }
    bool waitForNotifications(const QString& device, int count, int timeoutMs = 5000) {
        return waitUntil([&] { return notifications_.value(device).size() >= count; }, timeoutMs);
    }

    static inline const QString adapterPath = QStringLiteral("/org/bluez/hci0");

private Q_SLOTS:
    void onPropertiesChanged(const QDBusMessage& message);

private:
    friend class StandInRadio;
    struct Characteristic {
        QString path;
        QStringList flags;
    };
    struct Device {
        bool connected = false;
        QSet<QString> subscriptions; // characteristic paths
    };

    /// Every object of the stand-in's, from "/" down: QtDBus hands over the raw calls.
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override;
    QString introspect(const QString&) const override { return {}; }
    void post(const QDBusMessage& message) { connection().send(message); }
    void registerApplication(const QDBusMessage& call);
    void clearRegistrations();
    bluez::InterfaceMap adapterInterfaces() const;
    void emitSignal(const QString& path, const QString& interface, const QString& name,
                    const QList<QVariant>& arguments) {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
        signal.setArguments(arguments);
        post(signal);
    }
    /// The characteristic with this UUID, for a device that is connected.
    std::optional<Characteristic> target(const QString& device, const QString& uuid) const;
    /// A call of the application's characteristic, as bluetoothd makes it.
    static QVariantMap from(const QString& device) {
        return {{"device", QVariant::fromValue(QDBusObjectPath(device))}};
    }
    QDBusMessage callTo(const QString& path, const QString& method) const {
        return QDBusMessage::createMethodCall(applicationOwner_, path,
                                              bluez::gattCharacteristicInterface, method);
    }

    QString address_;
    QString name_;
    bool powered_ = true;
    bool adapterPresent_ = true;
    bool lePeripheral_ = true;
    bool accessDenied_ = false;
    std::pair<QString, QString> refusal_;
    /// Changes whenever registrations are dropped: answers meant for the old ones are refused.
    int generation_ = 0;
    QString applicationOwner_;
    QMap<QString, Characteristic> characteristics_;            // by UUID, in lower case
    std::optional<std::pair<QString, QString>> advertisement_; // owner, path
    int applicationRegistrations_ = 0;
    int advertisementRegistrations_ = 0;
    std::map<QString, Device> devices_;
    QMap<QString, QList<QByteArray>> notifications_;
};

/// A test watch's radio on one device of the stand-in.
class StandInRadio : public WatchRadio {
public:
    StandInRadio(BluezStandIn& bluez, QString device) : bluez_(bluez), device_(std::move(device)) {}

    /// Whether the application took the write; a write without response is taken at once.
    std::uint64_t write(const Uuid& characteristic, Bytes value) override;
    std::optional<AttResult> responseTo(std::uint64_t token) const override;
    std::optional<Bytes> readLong(const Uuid& characteristic) override;

private:
    BluezStandIn& bluez_;
    QString device_;
    std::vector<bool> answers_; // by token - 1
};

} // namespace tovali::test
