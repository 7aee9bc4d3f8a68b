#include "platform/bluez/bluez_monitor.hpp"

#include <QDBusArgument>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <tuple>

namespace tovali::bluez {

namespace {

// bluetoothd registers a returning controller within a second or two; a longer absence means
// the controller is gone for good.
constexpr int adapterReturnMs = 5000;

bool isBool(const QVariant& value) {
    return value.metaType() == QMetaType::fromType<bool>();
}

} // namespace

BluezMonitor::BluezMonitor(QDBusConnection bus, Listener& listener)
    : bus_(std::move(bus)), listener_(listener) {
    expectingAdapter_.setSingleShot(true);
    expectingAdapter_.setInterval(adapterReturnMs);
    connect(&expectingAdapter_, &QTimer::timeout, this, [this] { listener_.bluezChanged(); });
}

BluezMonitor::~BluezMonitor() = default;

void BluezMonitor::start() {
    watcher_ =
        new QDBusServiceWatcher(busName, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                ownerChanged(newOwner);
            });
    bus_.connect(busName, QStringLiteral("/"), objectManagerInterface,
                 QStringLiteral("InterfacesAdded"), this, SLOT(onInterfacesAdded(QDBusMessage)));
    bus_.connect(busName, QStringLiteral("/"), objectManagerInterface,
                 QStringLiteral("InterfacesRemoved"), this,
                 SLOT(onInterfacesRemoved(QDBusMessage)));
    bus_.connect(busName, QString(), propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                 SLOT(onPropertiesChanged(QDBusMessage)));
    requestObjects();
}

std::optional<QString> BluezMonitor::adapterPath() const {
    // A stable choice, whichever order bluetoothd announces its adapters in; by controller
    // number, so that hci10 comes after hci9.
    const auto rank = [this](const QString& path) {
        return std::tuple(!adapters_.value(path).supportsPeripheral(),
                          path.mid(path.lastIndexOf(QStringLiteral("hci")) + 3).toUInt(), path);
    };
    std::optional<QString> best;
    for (auto it = adapters_.cbegin(); it != adapters_.cend(); ++it) {
        if (!best || rank(it.key()) < rank(*best))
            best = it.key();
    }
    return best;
}

const BluezMonitor::Adapter* BluezMonitor::adapter() const {
    const auto path = adapterPath();
    return path ? &*adapters_.constFind(*path) : nullptr;
}

void BluezMonitor::accessDenied() {
    presence_ = Presence::denied;
    forgetObjects();
    listener_.bluezChanged();
}

void BluezMonitor::ownerChanged(const QString& newOwner) {
    // Starting bluetoothd by a call may answer before the bus tells of its new owner.
    if (presence_ == Presence::present && newOwner == owner_)
        return;
    ++generation_;
    const bool wasThere = presence_ == Presence::present || presence_ == Presence::lost;
    owner_ = newOwner;
    forgetObjects();
    if (wasThere)
        presence_ = Presence::lost;
    if (!newOwner.isEmpty()) {
        if (wasThere)
            expectingAdapter_.start();
        requestObjects();
    }
    listener_.bluezChanged();
}

void BluezMonitor::requestObjects() {
    const int generation = ++generation_;
    if (!bus_.isConnected()) {
        // No system bus, no bluetoothd; a call would never be answered.
        QTimer::singleShot(0, this, [this] {
            presence_ = Presence::unavailable;
            listener_.bluezChanged();
        });
        return;
    }
    // Calling by name lets the bus start bluetoothd where it is activatable.
    auto call = QDBusMessage::createMethodCall(busName, QStringLiteral("/"), objectManagerInterface,
                                               QStringLiteral("GetManagedObjects"));
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, generation](QDBusPendingCallWatcher*) {
                watcher->deleteLater();
                if (generation != generation_)
                    return;
                const QDBusMessage reply = watcher->reply();
                if (reply.type() == QDBusMessage::ErrorMessage) {
                    if (reply.errorName() == accessDeniedError) {
                        accessDenied();
                        return;
                    }
                    // A restart in progress stays a restart; otherwise nothing can start it.
                    if (presence_ != Presence::lost)
                        presence_ = Presence::unavailable;
                    listener_.bluezChanged();
                    return;
                }
                forgetObjects();
                owner_ = reply.service();
                presence_ = Presence::present;
                if (reply.signature() == QStringLiteral("a{oa{sa{sv}}}")) {
                    const auto objects = qdbus_cast<ManagedObjects>(reply.arguments().at(0));
                    for (auto it = objects.cbegin(); it != objects.cend(); ++it)
                        addInterfaces(it.key().path(), it.value());
                }
                listener_.bluezChanged();
            });
}

void BluezMonitor::forgetObjects() {
    adapters_.clear();
    const QStringList devices = devices_.keys();
    for (const QString& device : devices)
        setConnected(device, false);
    devices_.clear();
}

void BluezMonitor::addInterfaces(const QString& path, const InterfaceMap& interfaces) {
    if (interfaces.contains(adapterInterface) || adapters_.contains(path)) {
        Adapter& adapter = adapters_[path];
        adapter.gattManager = adapter.gattManager || interfaces.contains(gattManagerInterface);
        adapter.advertisingManager =
            adapter.advertisingManager || interfaces.contains(advertisingManagerInterface);
        updateAdapter(adapter, interfaces.value(adapterInterface));
        // The advertising manager may follow the adapter in a signal of its own.
        if (adapter.supportsPeripheral())
            expectingAdapter_.stop();
    }
    if (interfaces.contains(deviceInterface)) {
        const QVariantMap properties = interfaces.value(deviceInterface);
        updatePaired(devices_[path], properties);
        const QVariant connected = properties.value("Connected");
        setConnected(path, isBool(connected) && connected.toBool());
    }
}

void BluezMonitor::updateAdapter(Adapter& adapter, const QVariantMap& properties) {
    if (const QVariant powered = properties.value("Powered"); isBool(powered))
        adapter.powered = powered.toBool();
    if (const QVariant address = properties.value("Address");
        address.metaType() == QMetaType::fromType<QString>())
        adapter.address = address.toString();
    if (const QVariant roles = properties.value("Roles");
        roles.metaType() == QMetaType::fromType<QStringList>())
        adapter.roles = roles.toStringList();
}

void BluezMonitor::updatePaired(Device& device, const QVariantMap& properties) {
    if (const QVariant paired = properties.value("Paired"); isBool(paired))
        device.paired = paired.toBool();
}

void BluezMonitor::setConnected(const QString& device, bool connected) {
    const auto found = devices_.find(device);
    if (found == devices_.end() || found->connected == connected)
        return;
    found->connected = connected;
    listener_.deviceConnectionChanged(device, connected);
}

bool BluezMonitor::fromOwner(const QDBusMessage& message) const {
    return presence_ == Presence::present && message.service() == owner_;
}

void BluezMonitor::onInterfacesAdded(const QDBusMessage& message) {
    if (!fromOwner(message) || message.signature() != QStringLiteral("oa{sa{sv}}"))
        return;
    const auto path = message.arguments().at(0).value<QDBusObjectPath>().path();
    addInterfaces(path, qdbus_cast<InterfaceMap>(message.arguments().at(1)));
    listener_.bluezChanged();
}

void BluezMonitor::onInterfacesRemoved(const QDBusMessage& message) {
    if (!fromOwner(message) || message.signature() != QStringLiteral("oas"))
        return;
    const auto path = message.arguments().at(0).value<QDBusObjectPath>().path();
    const QStringList interfaces = message.arguments().at(1).toStringList();
    if (interfaces.contains(deviceInterface) && devices_.contains(path)) {
        setConnected(path, false);
        devices_.remove(path);
    }
    if (const auto found = adapters_.find(path); found != adapters_.end()) {
        found->gattManager = found->gattManager && !interfaces.contains(gattManagerInterface);
        found->advertisingManager =
            found->advertisingManager && !interfaces.contains(advertisingManagerInterface);
        if (interfaces.contains(adapterInterface)) {
            adapters_.erase(found);
            const QString prefix = path + '/';
            const QStringList devices = devices_.keys();
            for (const QString& device : devices) {
                if (device.startsWith(prefix)) {
                    setConnected(device, false);
                    devices_.remove(device);
                }
            }
            expectingAdapter_.start();
        }
    }
    listener_.bluezChanged();
}

void BluezMonitor::onPropertiesChanged(const QDBusMessage& message) {
    if (!fromOwner(message) || message.signature() != QStringLiteral("sa{sv}as"))
        return;
    const QString interface = message.arguments().at(0).toString();
    const auto changed = qdbus_cast<QVariantMap>(message.arguments().at(1));
    const QString path = message.path();
    if (interface == adapterInterface) {
        if (const auto found = adapters_.find(path); found != adapters_.end()) {
            if (const QVariant powered = changed.value("Powered"); isBool(powered))
                found->powerOns += powered.toBool() ? 1U : 0U;
            updateAdapter(*found, changed);
            listener_.bluezChanged();
        }
    } else if (interface == deviceInterface) {
        updatePaired(devices_[path], changed);
        if (const QVariant connected = changed.value("Connected"); isBool(connected))
            setConnected(path, connected.toBool());
    }
}

} // namespace tovali::bluez
