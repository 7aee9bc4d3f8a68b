#include "support/bluez_stand_in.hpp"

#include <QCoreApplication>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QTimer>

namespace tovali::test {

using namespace bluez;

namespace {
const QString unknownMethod = QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
} // namespace

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
    QString introspect(const QString&) const override { return {}; }
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
    connection_->connect(QString(), QString(), propertiesInterface, "PropertiesChanged",
                         {gattCharacteristicInterface}, QString(), this,
                         SLOT(onPropertiesChanged(QDBusMessage)));
    adapterPresent_ = true;
    lePeripheralNow_ = lePeripheral_;
    // The bus may not yet have seen our previous connection close.
    running_ = waitUntil([this] { return connection_->registerService(busName); }, 2000);
    if (!running_)
        qWarning("bluetoothd stand-in: cannot own org.bluez");
}

void BluezStandIn::stop() {
    if (!connection_)
        return;
    // Pending calls hold on to the connection, and their answers belong to the old daemon.
    for (auto* watcher : findChildren<QDBusPendingCallWatcher*>(Qt::FindDirectChildrenOnly))
        delete watcher;
    pending_.clear();
    clearRegistrations();
    devices_.clear();
    connection_->unregisterObject("/", QDBusConnection::UnregisterTree);
    connection_.reset();
    QDBusConnection::disconnectFromBus(connectionName_);
    running_ = false;
}

void BluezStandIn::clearRegistrations() {
    applicationOwner_.clear();
    characteristics_.clear();
    advertisement_.reset();
    for (auto& [path, device] : devices_)
        device.subscriptions.clear();
}

void BluezStandIn::refuseRegistrations(const QString& errorName, const QString& message) {
    refusalName_ = errorName;
    refusalMessage_ = message;
}

bool BluezStandIn::waitForRegistrations(int timeoutMs) {
    return waitUntil([this] { return !applicationOwner_.isEmpty() && advertisement_; }, timeoutMs);
}

void BluezStandIn::post(const QDBusMessage& message) {
    if (connection_)
        connection_->send(message);
}

void BluezStandIn::answerError(const QDBusMessage& call, const QString& name, const QString& text) {
    post(call.createErrorReply(name, text));
}

bool BluezStandIn::handleCall(const QDBusMessage& message) {
    if (!running_ || message.type() != QDBusMessage::MethodCallMessage ||
        message.interface() == "org.freedesktop.DBus.Introspectable")
        return false;
    if (accessDenied_) {
        answerError(message, accessDeniedError, "org.bluez is not for this caller");
        return true;
    }
    const QString path = message.path();
    const QString interface = message.interface();
    const QString member = message.member();
    const bool managing = path == adapterPath && adapterPresent_ && lePeripheralNow_;
    if (path == "/" && interface == objectManagerInterface && member == "GetManagedObjects") {
        ManagedObjects objects;
        QStringList paths{adapterPath};
        for (const auto& [each, device] : devices_)
            paths.append(each);
        for (const QString& each : paths) {
            if (const auto interfaces = interfacesOf(each))
                objects.insert(QDBusObjectPath(each), *interfaces);
        }
        post(message.createReply(QVariant::fromValue(objects)));
    } else if (managing && interface == gattManagerInterface && member == "RegisterApplication") {
        registerApplication(message);
    } else if (managing && interface == advertisingManagerInterface &&
               member == "RegisterAdvertisement") {
        registerAdvertisement(message);
    } else if (managing && member.startsWith("Unregister")) {
        unregister(message);
    } else if (interface == deviceInterface && member == "Disconnect" && devices_.count(path)) {
        disconnectDevice(path);
        post(message.createReply());
    } else {
        answerError(message, unknownMethod, member + " does not exist here");
    }
    return true;
}

std::optional<InterfaceMap> BluezStandIn::interfacesOf(const QString& path) const {
    if (!adapterPresent_)
        return std::nullopt;
    if (path == adapterPath) {
        InterfaceMap interfaces{{adapterInterface, adapterProperties()}};
        if (lePeripheralNow_) {
            interfaces.insert(gattManagerInterface, {});
            interfaces.insert(advertisingManagerInterface, {});
        }
        return interfaces;
    }
    const auto device = devices_.find(path);
    if (device == devices_.end())
        return std::nullopt;
    return InterfaceMap{{deviceInterface,
                         {{"Address", device->second.address},
                          {"Connected", device->second.connected},
                          {"Adapter", QVariant::fromValue(QDBusObjectPath(adapterPath))}}}};
}

QVariantMap BluezStandIn::adapterProperties() const {
    QStringList roles{"central"};
    if (lePeripheralNow_)
        roles.append("peripheral");
    return {{"Address", "00:1A:7D:DA:71:13"}, {"Powered", powered_}, {"Roles", roles}};
}

void BluezStandIn::emitSignal(const QString& path, const QString& interface, const QString& name,
                              const QList<QVariant>& arguments) {
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
    signal.setArguments(arguments);
    post(signal);
}

// Registrations.

std::optional<QDBusMessage> BluezStandIn::takePending(std::uint64_t id) {
    const auto it = std::find_if(pending_.begin(), pending_.end(),
                                 [id](const Pending& each) { return each.id == id; });
    if (it == pending_.end())
        return std::nullopt; // unregistered, or the adapter went, meanwhile
    QDBusMessage call = it->call;
    pending_.erase(it);
    return call;
}

void BluezStandIn::registerApplication(const QDBusMessage& call) {
    if (!refusalName_.isEmpty())
        return answerError(call, refusalName_, refusalMessage_);
    if (!applicationOwner_.isEmpty())
        return answerError(call, alreadyExistsError, "Already Exists");
    const QString owner = call.service();
    const QString root = call.arguments().value(0).value<QDBusObjectPath>().path();
    const std::uint64_t id = nextId_++;
    pending_.push_back({id, call, root});
    callAsync(
        QDBusMessage::createMethodCall(owner, root, objectManagerInterface, "GetManagedObjects"),
        [this, id, owner](const QDBusMessage& reply) {
            const auto pending = takePending(id);
            if (!pending)
                return;
            std::vector<Characteristic> found;
            bool service = false;
            if (reply.signature() == "a{oa{sa{sv}}}") {
                const auto objects = qdbus_cast<ManagedObjects>(reply.arguments().at(0));
                for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
                    service = service || it->contains(gattServiceInterface);
                    const QVariantMap c = it->value(gattCharacteristicInterface);
                    if (!c.isEmpty())
                        found.push_back({it.key().path(), c.value("UUID").toString().toLower(),
                                         c.value("Flags").toStringList()});
                }
            }
            if (!service || found.empty())
                return answerError(*pending, failedError, "No valid service object found");
            applicationOwner_ = owner;
            characteristics_ = std::move(found);
            ++applicationRegistrations_;
            post(pending->createReply());
        });
}

void BluezStandIn::registerAdvertisement(const QDBusMessage& call) {
    if (!refusalName_.isEmpty())
        return answerError(call, refusalName_, refusalMessage_);
    const QString owner = call.service();
    const QString path = call.arguments().value(0).value<QDBusObjectPath>().path();
    const std::uint64_t id = nextId_++;
    pending_.push_back({id, call, path});
    QDBusMessage getAll =
        QDBusMessage::createMethodCall(owner, path, propertiesInterface, "GetAll");
    getAll << advertisementInterface;
    callAsync(getAll, [this, id, owner, path](const QDBusMessage& reply) {
        const auto pending = takePending(id);
        if (!pending)
            return;
        const auto properties = reply.signature() == "a{sv}"
                                    ? qdbus_cast<QVariantMap>(reply.arguments().at(0))
                                    : QVariantMap();
        if (properties.value("Type").toString() != "peripheral")
            return answerError(*pending, failedError, "Failed to parse advertisement.");
        advertisement_ = Advertisement{owner, path, properties.value("LocalName").toString()};
        ++advertisementRegistrations_;
        post(pending->createReply());
    });
}

void BluezStandIn::unregister(const QDBusMessage& call) {
    const QString path = call.arguments().value(0).value<QDBusObjectPath>().path();
    const auto pending = std::find_if(pending_.begin(), pending_.end(),
                                      [&path](const Pending& each) { return each.path == path; });
    if (pending != pending_.end()) {
        answerError(pending->call, failedError, "Failed to complete registration");
        pending_.erase(pending);
    } else if (call.interface() == gattManagerInterface && !applicationOwner_.isEmpty()) {
        applicationOwner_.clear();
        characteristics_.clear();
    } else if (call.interface() == advertisingManagerInterface && advertisement_) {
        advertisement_.reset();
    } else {
        return answerError(call, "org.bluez.Error.DoesNotExist", "Does Not Exist");
    }
    post(call.createReply());
}

// The adapter.

void BluezStandIn::setPowered(bool on) {
    if (on == powered_)
        return;
    if (!on) {
        for (auto& [path, device] : devices_)
            disconnectDevice(path);
    }
    powered_ = on;
    if (adapterPresent_)
        emitSignal(adapterPath, propertiesInterface, "PropertiesChanged",
                   {adapterInterface, QVariantMap{{"Powered", powered_}}, QStringList()});
}

void BluezStandIn::removeAdapter() {
    if (!running_ || !adapterPresent_)
        return;
    if (advertisement_)
        post(QDBusMessage::createMethodCall(advertisement_->owner, advertisement_->path,
                                            advertisementInterface, "Release"));
    for (const Pending& pending : pending_)
        answerError(pending.call, failedError, "Failed to complete registration");
    pending_.clear();
    clearRegistrations();
    for (const auto& [path, device] : devices_)
        emitSignal("/", objectManagerInterface, "InterfacesRemoved",
                   {QVariant::fromValue(QDBusObjectPath(path)), QStringList{deviceInterface}});
    devices_.clear();
    const QStringList interfaces = interfacesOf(adapterPath)->keys();
    adapterPresent_ = false;
    emitSignal("/", objectManagerInterface, "InterfacesRemoved",
               {QVariant::fromValue(QDBusObjectPath(adapterPath)), interfaces});
}

void BluezStandIn::restoreAdapter() {
    if (!running_ || adapterPresent_)
        return;
    adapterPresent_ = true;
    lePeripheralNow_ = lePeripheral_;
    InterfaceMap interfaces = *interfacesOf(adapterPath);
    // The advertising manager waits for the kernel's advertising features.
    interfaces.remove(advertisingManagerInterface);
    const QVariant path = QVariant::fromValue(QDBusObjectPath(adapterPath));
    emitSignal("/", objectManagerInterface, "InterfacesAdded",
               {path, QVariant::fromValue(interfaces)});
    if (lePeripheralNow_)
        emitSignal("/", objectManagerInterface, "InterfacesAdded",
                   {path, QVariant::fromValue(InterfaceMap{{advertisingManagerInterface, {}}})});
}

// Calls to the application.

QDBusMessage BluezStandIn::callApplication(const QDBusMessage& call) {
    if (const std::optional<QDBusMessage> reply = callAndWait(call))
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

std::optional<QDBusMessage> BluezStandIn::callAndWait(const QDBusMessage& call) {
    // Shared: a late answer still lands somewhere once this call has given up.
    auto reply = std::make_shared<std::optional<QDBusMessage>>();
    callAsync(call, [reply](const QDBusMessage& message) { *reply = message; });
    waitUntil([&reply] { return reply->has_value(); }, 5000);
    return *reply;
}

} // namespace tovali::test
