#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/bluez/dbus_types.hpp"
#include "support/test_watch.hpp"

namespace tovali::test {

using bluez::toQByteArray;

/// Runs the Qt event loop until `done` answers true or `timeoutMs` has passed; answers `done()`.
/// Tests wait this way because the application answers bluetoothd on the same thread.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

/// An ATT answer as the central sees it.
struct AttAnswer {
    /// 0 for success, otherwise the ATT error code bluetoothd sends.
    std::uint8_t error = 0;
    /// What a read returned, cut to MTU - 1 bytes.
    QByteArray value;
    /// The D-Bus error the application answered with, if it did.
    QString dbusError;
};

/// bluetoothd 5.66 as an external GATT application meets it, on a private bus: it owns
/// org.bluez, exposes one adapter, /org/bluez/hci0, with GattManager1 and LEAdvertisingManager1,
/// reads the application's objects the way bluetoothd does, and plays centrals. It works on the
/// caller's thread: every wait runs the event loop.
class BluezStandIn : public QObject {
    Q_OBJECT
public:
    struct Characteristic {
        QString path;
        QString uuid;
        QStringList flags;
        QString service;
    };
    struct Application {
        /// The unique bus name that registered it.
        QString owner;
        QString path;
        QString serviceUuid;
        std::vector<Characteristic> characteristics;
    };
    struct Advertisement {
        QString owner;
        QString path;
        QString type;
        QStringList serviceUuids;
        QString localName;
        /// Still registered, but deleted from the controller by a power off.
        bool lost = false;
    };

    /// Connects to the bus at `address` and takes org.bluez, with one powered adapter.
    explicit BluezStandIn(QString address);
    ~BluezStandIn() override;

    /// True once it owns org.bluez.
    bool running() const { return running_; }
    /// Its unique name on the bus while it runs.
    QString uniqueName() const;
    /// Its connection while it runs, for calls of a test's own; keep no copy past stop().
    QDBusConnection connection() const;

    // The daemon.
    /// Leaves the bus, as bluetoothd does when it exits: every registration and device is gone,
    /// and nothing is said to the application.
    void stop();
    /// Back on the bus under a new unique name, with the adapter as configured.
    void start();
    void restart() {
        stop();
        start();
    }

    // The adapter.
    /// A power off deletes the advertisements from the controller, as the kernel does, while
    /// 5.66 keeps them registered and never puts them back on the air.
    void setPowered(bool on);
    bool powered() const { return powered_; }
    /// Whether an advertisement of the application's is on the air.
    bool onAir() const;
    /// The controller goes away: the advertisement gets Release(), the registrations are
    /// dropped silently, and the adapter's objects go with InterfacesRemoved.
    void removeAdapter();
    /// The adapter comes back with InterfacesAdded, Adapter1 and GattManager1 first and
    /// LEAdvertisingManager1 in a signal of its own, as 5.66 sends them.
    void restoreAdapter();
    /// Whether the adapter has GattManager1, LEAdvertisingManager1 and the "peripheral" role.
    /// Applies from the next start() or restoreAdapter().
    void setLePeripheral(bool supported) { lePeripheral_ = supported; }
    /// Until cleared with an empty name, every RegisterApplication and RegisterAdvertisement is
    /// answered with this error.
    void refuseRegistrations(const QString& errorName, const QString& message = {});
    /// Every call to org.bluez is answered with org.freedesktop.DBus.Error.AccessDenied.
    void denyAccess(bool denied) { accessDenied_ = denied; }

    // What the application registered: none until its registration has been answered.
    const std::optional<Application>& application() const { return application_; }
    const std::optional<Advertisement>& advertisement() const { return advertisement_; }
    /// Successful registrations since construction.
    int applicationRegistrations() const { return applicationRegistrations_; }
    int advertisementRegistrations() const { return advertisementRegistrations_; }
    /// Waits for both registrations to be in place.
    bool waitForRegistrations(int timeoutMs = 5000);

    // Centrals, each named by its device object path.
    /// A device with this address connects: its object appears with Connected = true, or an
    /// existing one changes to Connected = true.
    QString connectDevice(const QString& address);
    /// Connected = false; its subscriptions end, as for a central that is not bonded. Device1's
    /// Disconnect does the same.
    void disconnectDevice(const QString& device);
    /// Its object goes, as after the temporary time-out.
    void removeDevice(const QString& device);
    /// The ATT MTU of the devices' connections; reads are cut to MTU - 1 bytes.
    void setMtu(std::uint16_t mtu) { mtu_ = mtu; }
    std::uint16_t mtu() const { return mtu_; }

    /// A write the way bluetoothd hands it on: to a characteristic with write-without-response
    /// it goes out with no reply expected and is answered with success at once; otherwise the
    /// application's reply (within 5 s) decides. Permissions are checked first, as 5.66 does.
    AttAnswer write(const QString& device, const QString& uuid, const QByteArray& value,
                    std::uint16_t offset = 0);
    AttAnswer read(const QString& device, const QString& uuid, std::uint16_t offset = 0);
    /// Enables notifications on the characteristic's CCC for this device (StartNotify).
    void subscribe(const QString& device, const QString& uuid);
    /// The values notified to this device, oldest first.
    QList<QByteArray> notifications(const QString& device) const;
    /// Waits until the device has received `count` notifications in all.
    bool waitForNotifications(const QString& device, int count, int timeoutMs = 5000);

    /// Sends a call of the test's own making to the application from bluetoothd's connection and
    /// waits for its answer (an error message after 5 s without one).
    QDBusMessage callApplication(const QDBusMessage& call);

private Q_SLOTS:
    void onPropertiesChanged(const QDBusMessage& message);
    void onNameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    class Objects;
    /// A registration whose objects are still being read.
    struct Pending {
        std::uint64_t id = 0;
        QString owner;
        QString path;
        QDBusMessage call;
    };
    /// A characteristic as bluetoothd keys it: the application's unique name and the path.
    using Key = std::pair<QString, QString>;
    struct Device {
        QString address;
        bool connected = false;
        QSet<Key> subscriptions;
    };
    struct Target {
        QString owner;
        Characteristic characteristic;
    };

    bool handleCall(const QDBusMessage& message);
    void answerProperties(const QDBusMessage& message);
    void answerError(const QDBusMessage& call, const QString& name, const QString& text);
    void post(const QDBusMessage& message);
    void registerApplication(const QDBusMessage& call);
    void finishApplication(std::uint64_t id, const QDBusMessage& reply);
    void unregisterApplication(const QDBusMessage& call);
    void registerAdvertisement(const QDBusMessage& call);
    void finishAdvertisement(std::uint64_t id, const QDBusMessage& reply);
    void unregisterAdvertisement(const QDBusMessage& call);
    void forgetOwner(const QString& owner);
    void dropSubscriptions(const std::function<bool(const Key&)>& gone);
    void endSubscription(const Key& key);
    void mirrorRegistrations();
    void emitAdvertisingCounts();

    QStringList paths() const;
    std::optional<QMap<QString, QVariantMap>> interfacesOf(const QString& path) const;
    QVariantMap adapterProperties() const;
    QVariantMap advertisingProperties() const;
    void emitSignal(const QString& path, const QString& interface, const QString& name,
                    const QList<QVariant>& arguments);
    void emitPropertiesChanged(const QString& path, const QString& interface,
                               const QVariantMap& changed);
    void emitInterfacesAdded(const QString& path, const QMap<QString, QVariantMap>& interfaces);
    void emitInterfacesRemoved(const QString& path, const QStringList& interfaces);

    std::optional<Target> target(const QString& device, const QString& uuid, AttAnswer& answer);
    QVariantMap options(const QString& device, std::uint16_t offset) const;
    void callAsync(const QDBusMessage& call, std::function<void(const QDBusMessage&)> then);
    std::optional<QDBusMessage> callAndWait(const QDBusMessage& call, int timeoutMs);

    QString address_;
    QString connectionName_;
    std::unique_ptr<QDBusConnection> connection_;
    std::unique_ptr<Objects> objects_;
    bool adapterPresent_ = true;
    bool lePeripheralNow_ = true;
    QString refusalName_;
    QString refusalMessage_;
    std::uint64_t nextId_ = 1;
    std::vector<Pending> pendingApplications_;
    std::vector<Pending> pendingAdvertisements_;
    std::vector<Application> applications_;
    std::vector<Advertisement> advertisements_;
    std::map<Key, int> notifyCounts_;
    std::map<QString, Device> devices_;
    QMap<QString, QList<QByteArray>> notifications_;

    bool running_ = false;
    bool powered_ = true;
    bool lePeripheral_ = true;
    bool accessDenied_ = false;
    std::uint16_t mtu_ = 23;
    int applicationRegistrations_ = 0;
    int advertisementRegistrations_ = 0;
    std::optional<Application> application_;
    std::optional<Advertisement> advertisement_;
};

/// A test watch's radio on one device of the stand-in.
class StandInRadio : public WatchRadio {
public:
    StandInRadio(BluezStandIn& bluez, QString device) : bluez_(bluez), device_(std::move(device)) {}

    std::uint64_t write(const Uuid& characteristic, Bytes value) override;
    std::optional<AttResult> responseTo(std::uint64_t token) const override;
    /// Reads at offsets 0, MTU - 1, ... until a shorter piece.
    std::optional<Bytes> readLong(const Uuid& characteristic) override;

    const QString& device() const { return device_; }

private:
    BluezStandIn& bluez_;
    QString device_;
    std::map<std::uint64_t, AttResult> answers_;
    std::uint64_t nextToken_ = 1;
};

} // namespace tovali::test
