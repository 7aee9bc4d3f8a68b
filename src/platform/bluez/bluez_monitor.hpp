#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <optional>

#include "platform/bluez/dbus_types.hpp"

class QDBusServiceWatcher;

namespace tovali::bluez {

/// bluetoothd as seen from outside: whether it runs, its adapters and its devices, kept current
/// from its signals. bluetoothd forgets our registrations whenever it or the adapter goes; what
/// to do about that is the owner's business.
class BluezMonitor : public QObject {
    Q_OBJECT
public:
    enum class Presence {
        /// No answer yet.
        waiting,
        /// Its objects have been read from the current owner of the name.
        present,
        /// It was there and has gone, or a new instance is still being read.
        lost,
        /// The bus cannot start it.
        unavailable,
        /// The bus refuses us.
        denied,
    };

    struct Adapter {
        QString address;
        bool gattManager = false;
        bool advertisingManager = false;
        bool powered = false;
        /// Times bluetoothd announced the adapter powered on. It sends changed properties when
        /// idle, so an off and on close together (a quick suspend) arrive as one "on".
        unsigned powerOns = 0;
        /// None where bluetoothd lists no roles.
        std::optional<QStringList> roles;

        bool supportsPeripheral() const {
            return gattManager && advertisingManager &&
                   (!roles || roles->contains(QStringLiteral("peripheral")));
        }
    };

    class Listener {
    public:
        virtual ~Listener() = default;
        /// Presence, adapters or power changed.
        virtual void bluezChanged() = 0;
        virtual void deviceConnectionChanged(const QString& device, bool connected) = 0;
    };

    BluezMonitor(QDBusConnection bus, Listener& listener);
    ~BluezMonitor() override;

    /// Starts following bluetoothd; everything it learns reaches the listener later.
    void start();

    Presence presence() const { return presence_; }
    /// The unique name of the current owner of org.bluez; empty when none.
    const QString& owner() const { return owner_; }
    /// The adapter to use: the lowest-numbered that can be an LE peripheral, else the
    /// lowest-numbered; none when bluetoothd shows no adapter.
    std::optional<QString> adapterPath() const;
    const Adapter* adapter() const;
    bool hasAdapter(const QString& path) const { return adapters_.contains(path); }
    /// True for a while after an adapter went away or bluetoothd came back, when one is
    /// expected (again) soon.
    bool expectingAdapter() const { return expectingAdapter_.isActive(); }
    /// Paired through the system's Bluetooth settings, so approved at this computer.
    bool isPaired(const QString& device) const { return devices_.value(device).paired; }

    /// A call to bluetoothd was refused by the bus's policy.
    void accessDenied();

private slots:
    void onInterfacesAdded(const QDBusMessage& message);
    void onInterfacesRemoved(const QDBusMessage& message);
    void onPropertiesChanged(const QDBusMessage& message);

private:
    void ownerChanged(const QString& newOwner);
    void requestObjects();
    void forgetObjects();
    void addInterfaces(const QString& path, const InterfaceMap& interfaces);
    void updateAdapter(Adapter& adapter, const QVariantMap& properties);
    void setConnected(const QString& device, bool connected);
    struct Device {
        bool connected = false;
        bool paired = false;
    };
    static void updatePaired(Device& device, const QVariantMap& properties);
    bool fromOwner(const QDBusMessage& message) const;

    QDBusConnection bus_;
    Listener& listener_;
    QDBusServiceWatcher* watcher_ = nullptr;
    Presence presence_ = Presence::waiting;
    QString owner_;
    /// Tells a stale object list from the current owner's.
    int generation_ = 0;
    QMap<QString, Adapter> adapters_;
    QMap<QString, Device> devices_;
    QTimer expectingAdapter_;
};

} // namespace tovali::bluez
