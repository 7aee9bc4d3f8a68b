#include "support/bluez_stand_in.hpp"

#include <QCoreApplication>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTimer>

#include "support/bluez_stand_in_rules.hpp"

namespace tovali::test {

using namespace standin;

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    QTimer wake; // so that a quiet loop still notices the deadline
    wake.start(std::chrono::milliseconds(5));
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

/// Every object of the stand-in's, from "/" down: QtDBus hands over the raw calls.
class BluezStandIn::Objects : public QDBusVirtualObject {
public:
    explicit Objects(BluezStandIn& bluez) : bluez_(bluez) {}

    QString introspect(const QString& path) const override {
        QString xml;
        if (const auto interfaces = bluez_.interfacesOf(path)) {
            for (auto it = interfaces->begin(); it != interfaces->end(); ++it)
                xml += QStringLiteral("<interface name=\"%1\"/>").arg(it.key());
        }
        return xml;
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override {
        return bluez_.handleCall(message);
    }

private:
    BluezStandIn& bluez_;
};

BluezStandIn::BluezStandIn(QString address)
    : address_(std::move(address)), objects_(std::make_unique<Objects>(*this)) {
    qDBusRegisterMetaType<InterfaceMap>();
    qDBusRegisterMetaType<ManagedObjects>();
    start();
}

BluezStandIn::~BluezStandIn() {
    stop();
}

QString BluezStandIn::uniqueName() const {
    return connection_ ? connection_->baseService() : QString();
}

QDBusConnection BluezStandIn::connection() const {
    return connection_ ? *connection_ : QDBusConnection(QString());
}

void BluezStandIn::start() {
    if (running_)
        return;
    static int instances = 0;
    connectionName_ = QStringLiteral("tovali-bluez-stand-in-%1").arg(++instances);
    connection_ =
        std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address_, connectionName_));
    if (!connection_->isConnected() ||
        !connection_->registerVirtualObject("/", objects_.get(), QDBusConnection::SubPath)) {
        qWarning("bluetoothd stand-in: cannot serve on %s", qPrintable(address_));
        connection_.reset();
        QDBusConnection::disconnectFromBus(connectionName_);
        return;
    }
    // bluetoothd watches only the characteristics it knows; the slot sorts out the rest.
    connection_->connect(QString(), QString(), propertiesInterface, "PropertiesChanged",
                         {characteristicInterface}, QString(), this,
                         SLOT(onPropertiesChanged(QDBusMessage)));
    connection_->connect("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameOwnerChanged", this,
                         SLOT(onNameOwnerChanged(QString, QString, QString)));
    adapterPresent_ = true;
    lePeripheralNow_ = lePeripheral_;
    // The bus may not yet have seen our previous connection close.
    running_ = waitUntil([this] { return connection_->registerService(bluezName); }, 2000);
    if (!running_)
        qWarning("bluetoothd stand-in: cannot own org.bluez");
}

void BluezStandIn::stop() {
    if (!connection_)
        return;
    // Pending calls hold on to the connection, and their answers belong to the old daemon.
    for (auto* watcher : findChildren<QDBusPendingCallWatcher*>(Qt::FindDirectChildrenOnly))
        delete watcher;
    pendingApplications_.clear();
    pendingAdvertisements_.clear();
    applications_.clear();
    advertisements_.clear();
    notifyCounts_.clear();
    devices_.clear();
    mirrorRegistrations();
    connection_->unregisterObject("/", QDBusConnection::UnregisterTree);
    connection_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
    running_ = false;
}

void BluezStandIn::refuseRegistrations(const QString& errorName, const QString& message) {
    refusalName_ = errorName;
    refusalMessage_ = message;
}

bool BluezStandIn::waitForRegistrations(int timeoutMs) {
    return waitUntil([this] { return application_ && advertisement_; }, timeoutMs);
}

// Calls.

void BluezStandIn::post(const QDBusMessage& message) {
    if (connection_)
        connection_->send(message);
}

void BluezStandIn::answerError(const QDBusMessage& call, const QString& name, const QString& text) {
    post(call.createErrorReply(name, text));
}

bool BluezStandIn::handleCall(const QDBusMessage& message) {
    if (!running_ || message.type() != QDBusMessage::MethodCallMessage)
        return false;
    if (accessDenied_) {
        answerError(message, "org.freedesktop.DBus.Error.AccessDenied",
                    "Rejected send message: org.bluez is not for this caller");
        return true;
    }
    const QString path = message.path();
    const QString interface = message.interface();
    const QString member = message.member();
    if (interface == introspectableInterface && member == "Introspect")
        return false; // QtDBus answers from introspect()

    const QString missing =
        QStringLiteral("Method \"%1\" with signature \"%2\" on interface \"%3\" doesn't exist")
            .arg(member, message.signature(), interface);
    const auto interfaces =
        path == "/" ? std::optional<InterfaceMap>(InterfaceMap{{objectManagerInterface, {}}})
                    : interfacesOf(path);
    if (!interfaces) {
        answerError(message, "org.freedesktop.DBus.Error.UnknownObject", missing);
        return true;
    }
    if (!interfaces->contains(interface)) {
        answerError(message, unknownMethod, missing);
        return true;
    }

    if (interface == objectManagerInterface && member == "GetManagedObjects" &&
        message.signature().isEmpty()) {
        ManagedObjects objects;
        for (const QString& each : paths())
            objects.insert(QDBusObjectPath(each), *interfacesOf(each));
        post(message.createReply(QVariant::fromValue(objects)));
    } else if (interface == propertiesInterface) {
        answerProperties(message);
    } else if (interface == gattManagerInterface && member == "RegisterApplication") {
        registerApplication(message);
    } else if (interface == gattManagerInterface && member == "UnregisterApplication") {
        unregisterApplication(message);
    } else if (interface == advertisingManagerInterface && member == "RegisterAdvertisement") {
        registerAdvertisement(message);
    } else if (interface == advertisingManagerInterface && member == "UnregisterAdvertisement") {
        unregisterAdvertisement(message);
    } else if (interface == deviceInterface && member == "Disconnect" &&
               message.signature().isEmpty()) {
        disconnectDevice(path);
        post(message.createReply());
    } else {
        answerError(message, unknownMethod, missing);
    }
    return true;
}

void BluezStandIn::answerProperties(const QDBusMessage& message) {
    const InterfaceMap interfaces = *interfacesOf(message.path());
    const QList<QVariant> args = message.arguments();
    const QString member = message.member();
    const QString signature = message.signature();
    if ((member == "Get" && signature != "ss") || (member == "GetAll" && signature != "s") ||
        (member == "Set" && signature != "ssv"))
        return answerError(message, invalidArgs, "Invalid arguments in method call");
    if (member != "Get" && member != "GetAll" && member != "Set")
        return answerError(message, unknownMethod, QStringLiteral("No method %1").arg(member));

    const QString interface = args.at(0).toString();
    if (!interfaces.contains(interface))
        return answerError(message, invalidArgs,
                           QStringLiteral("No such interface '%1'").arg(interface));
    const QVariantMap properties = interfaces.value(interface);
    if (member == "GetAll")
        return post(message.createReply(properties));

    const QString name = args.at(1).toString();
    if (!properties.contains(name))
        return answerError(message, invalidArgs, QStringLiteral("No such property '%1'").arg(name));
    if (member == "Get")
        return post(message.createReply(QVariant::fromValue(QDBusVariant(properties[name]))));

    const QVariant value = args.at(2).value<QDBusVariant>().variant();
    if (interface != adapterInterface || name != "Powered")
        return answerError(message, "org.freedesktop.DBus.Error.PropertyReadOnly",
                           QStringLiteral("Property '%1' is not writable").arg(name));
    if (value.metaType() != properties[name].metaType())
        return answerError(message, invalidArgs, "Invalid arguments in method call");
    post(message.createReply());
    setPowered(value.toBool());
}

QStringList BluezStandIn::paths() const {
    QStringList all{bluezRoot};
    if (adapterPresent_) {
        all.append(adapterPath);
        for (const auto& [path, device] : devices_)
            all.append(path);
    }
    return all;
}

std::optional<InterfaceMap> BluezStandIn::interfacesOf(const QString& path) const {
    if (path == bluezRoot)
        return InterfaceMap{{introspectableInterface, {}},
                            {"org.bluez.AgentManager1", {}},
                            {"org.bluez.ProfileManager1", {}}};
    if (!adapterPresent_)
        return std::nullopt;
    if (path == adapterPath) {
        InterfaceMap interfaces{{introspectableInterface, {}},
                                {propertiesInterface, {}},
                                {adapterInterface, adapterProperties()}};
        if (lePeripheralNow_) {
            interfaces.insert(gattManagerInterface, {});
            interfaces.insert(advertisingManagerInterface, advertisingProperties());
        }
        return interfaces;
    }
    const auto device = devices_.find(path);
    if (device == devices_.end())
        return std::nullopt;
    return InterfaceMap{{introspectableInterface, {}},
                        {propertiesInterface, {}},
                        {deviceInterface,
                         {{"Address", device->second.address},
                          {"AddressType", "random"},
                          {"Connected", device->second.connected},
                          {"Paired", false},
                          {"Trusted", false},
                          {"Blocked", false},
                          {"Adapter", QVariant::fromValue(QDBusObjectPath(adapterPath))},
                          {"ServicesResolved", false}}}};
}

QVariantMap BluezStandIn::adapterProperties() const {
    QStringList roles{"central"};
    if (lePeripheralNow_)
        roles.append("peripheral");
    return {{"Address", adapterAddress},
            {"AddressType", "public"},
            {"Name", adapterName},
            {"Alias", adapterName},
            {"Class", QVariant::fromValue(quint32(0))},
            {"Powered", powered_},
            {"Discoverable", false},
            {"Pairable", false},
            {"Discovering", false},
            {"UUIDs", QStringList()},
            {"Roles", roles}};
}

QVariantMap BluezStandIn::advertisingProperties() const {
    const auto active = advertisements_.size() + pendingAdvertisements_.size();
    return {
        {"ActiveInstances", QVariant::fromValue(static_cast<uchar>(active))},
        {"SupportedInstances", QVariant::fromValue(static_cast<uchar>(maxAdvertisements - active))},
        {"SupportedIncludes", supportedIncludes}};
}

void BluezStandIn::emitSignal(const QString& path, const QString& interface, const QString& name,
                              const QList<QVariant>& arguments) {
    if (!connection_)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
    signal.setArguments(arguments);
    connection_->send(signal);
}

void BluezStandIn::emitPropertiesChanged(const QString& path, const QString& interface,
                                         const QVariantMap& changed) {
    emitSignal(path, propertiesInterface, "PropertiesChanged", {interface, changed, QStringList()});
}

void BluezStandIn::emitInterfacesAdded(const QString& path, const InterfaceMap& interfaces) {
    emitSignal("/", objectManagerInterface, "InterfacesAdded",
               {QVariant::fromValue(QDBusObjectPath(path)), QVariant::fromValue(interfaces)});
}

void BluezStandIn::emitInterfacesRemoved(const QString& path, const QStringList& interfaces) {
    emitSignal("/", objectManagerInterface, "InterfacesRemoved",
               {QVariant::fromValue(QDBusObjectPath(path)), interfaces});
}

QDBusMessage BluezStandIn::callApplication(const QDBusMessage& call) {
    const std::optional<QDBusMessage> reply = callAndWait(call, attributeTimeoutMs);
    if (reply)
        return *reply;
    return call.createErrorReply(QDBusError::NoReply, "No reply within 5 s");
}

void BluezStandIn::callAsync(const QDBusMessage& call,
                             std::function<void(const QDBusMessage&)> then) {
    if (!connection_)
        return;
    auto* watcher = new QDBusPendingCallWatcher(connection_->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [then = std::move(then)](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                then(done->reply());
            });
}

std::optional<QDBusMessage> BluezStandIn::callAndWait(const QDBusMessage& call, int timeoutMs) {
    // Shared: a late answer still lands somewhere once this call has given up.
    auto reply = std::make_shared<std::optional<QDBusMessage>>();
    callAsync(call, [reply](const QDBusMessage& message) { *reply = message; });
    waitUntil([&reply] { return reply->has_value(); }, timeoutMs);
    return *reply;
}

} // namespace tovali::test
