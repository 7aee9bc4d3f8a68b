#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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
    QByteArray value;
    /// The D-Bus error the application answered with, if it did.
    QString dbusError;
};

/// bluetoothd as the adapter meets it, on a private bus, with what the behaviour tests rely on:
/// one adapter, /org/bluez/hci0, that registers the application and its advertisement, and
/// centrals that write, read and subscribe. The finer rules of the real one are met in the VM
/// test. It works on the caller's thread: every wait runs the event loop.
class BluezStandIn : public QObject {
    Q_OBJECT
public:
    struct Characteristic {
        QString path;
        QString uuid;
        QStringList flags;
    };
    struct Advertisement {
        QString owner;
        QString path;
        QString localName;
    };

    /// Connects to the bus at `address` and takes org.bluez, with one powered adapter.
    explicit BluezStandIn(QString address);
    ~BluezStandIn() override;

    /// True once it owns org.bluez.
    bool running() const { return running_; }
    /// Its connection while it runs, for calls of a test's own; keep no copy past stop().
    QDBusConnection connection() const;
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
    /// The controller goes away: the advertisement gets Release(), the registrations are
    /// dropped silently, and the adapter's objects go with InterfacesRemoved.
    void removeAdapter();
    /// The adapter comes back, the advertising manager in a signal of its own, as 5.66 sends it.
    void restoreAdapter();
    /// Whether the adapter offers the "peripheral" role and its managers, from the next start.
    void setLePeripheral(bool supported) { lePeripheral_ = supported; }
    /// Until cleared with an empty name, every registration is answered with this error.
    void refuseRegistrations(const QString& errorName, const QString& message = {});
    /// Every call to org.bluez is answered with AccessDenied.
    void denyAccess(bool denied) { accessDenied_ = denied; }

    const std::optional<Advertisement>& advertisement() const { return advertisement_; }
    /// Successful registrations since construction.
    int applicationRegistrations() const { return applicationRegistrations_; }
    int advertisementRegistrations() const { return advertisementRegistrations_; }
    bool waitForRegistrations(int timeoutMs = 5000);

    // Centrals, each named by its device object path.
    /// A device with this address connects: its object appears or turns Connected.
    QString connectDevice(const QString& address);
    /// Connected = false; its subscriptions end, as for a central that is not bonded. Device1's
    /// Disconnect does the same.
    void disconnectDevice(const QString& device);
    /// A write-without-response characteristic answers success at once; otherwise the
    /// application's reply decides.
    AttAnswer write(const QString& device, const QString& uuid, const QByteArray& value);
    AttAnswer read(const QString& device, const QString& uuid, std::uint16_t offset = 0);
    /// StartNotify on the characteristic for this device.
    void subscribe(const QString& device, const QString& uuid);
    /// The values notified to this device, oldest first.
    QList<QByteArray> notifications(const QString& device) const {
        return notifications_.value(device);
    }
    bool waitForNotifications(const QString& device, int count, int timeoutMs = 5000);

    /// Sends a call of the test's own to the application from bluetoothd's connection and waits
    /// for its answer.
    QDBusMessage callApplication(const QDBusMessage& call);

    /// Reads are cut to this ATT MTU - 1.
    static constexpr std::uint16_t mtu = 23;
    static inline const QString adapterPath = QStringLiteral("/org/bluez/hci0");

private Q_SLOTS:
    void onPropertiesChanged(const QDBusMessage& message);

private:
    class Objects;
    struct Pending {
        std::uint64_t id = 0;
        QDBusMessage call;
        QString path;
    };
    struct Device {
        QString address;
        bool connected = false;
        QSet<QString> subscriptions; // characteristic paths
    };

    bool handleCall(const QDBusMessage& message);
    void answerError(const QDBusMessage& call, const QString& name, const QString& text = {});
    void post(const QDBusMessage& message);
    void registerApplication(const QDBusMessage& call);
    void registerAdvertisement(const QDBusMessage& call);
    void unregister(const QDBusMessage& call);
    /// The pending registration's call, taken out of the list; none once it was dropped.
    std::optional<QDBusMessage> takePending(std::uint64_t id);
    void clearRegistrations();

    std::optional<bluez::InterfaceMap> interfacesOf(const QString& path) const;
    QVariantMap adapterProperties() const;
    void emitSignal(const QString& path, const QString& interface, const QString& name,
                    const QList<QVariant>& arguments);
    std::optional<Characteristic> target(const QString& device, const QString& uuid,
                                         AttAnswer& answer) const;
    QVariantMap options(const QString& device, std::uint16_t offset) const;
    void callAsync(const QDBusMessage& call, std::function<void(const QDBusMessage&)> then);
    std::optional<QDBusMessage> callAndWait(const QDBusMessage& call);

    QString address_;
    QString connectionName_;
    std::unique_ptr<QDBusConnection> connection_;
    std::unique_ptr<Objects> objects_;
    bool running_ = false;
    bool powered_ = true;
    bool adapterPresent_ = true;
    bool lePeripheral_ = true;
    bool lePeripheralNow_ = true;
    bool accessDenied_ = false;
    QString refusalName_;
    QString refusalMessage_;
    std::uint64_t nextId_ = 1;
    std::vector<Pending> pending_;
    QString applicationOwner_;
    std::vector<Characteristic> characteristics_;
    std::optional<Advertisement> advertisement_;
    int applicationRegistrations_ = 0;
    int advertisementRegistrations_ = 0;
    std::map<QString, Device> devices_;
    QMap<QString, QList<QByteArray>> notifications_;
};

/// A test watch's radio on one device of the stand-in.
class StandInRadio : public WatchRadio {
public:
    StandInRadio(BluezStandIn& bluez, QString device) : bluez_(bluez), device_(std::move(device)) {}

    std::uint64_t write(const Uuid& characteristic, Bytes value) override;
    std::optional<AttResult> responseTo(std::uint64_t token) const override;
    /// Reads at offsets 0, MTU - 1, ... until a shorter piece.
    std::optional<Bytes> readLong(const Uuid& characteristic) override;

private:
    BluezStandIn& bluez_;
    QString device_;
    std::map<std::uint64_t, AttResult> answers_;
    std::uint64_t nextToken_ = 1;
};

} // namespace tovali::test
