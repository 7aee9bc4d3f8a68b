#include "support/bluez_stand_in.hpp"

#include <QCoreApplication>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDeadlineTimer>
#include <QTimer>
#include <utility>

namespace tovali::test {

using namespace bluez;

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

QDBusMessage callAndWait(const QDBusConnection& bus, const QDBusMessage& call) {
    QDBusPendingCall pending = bus.asyncCall(call);
    waitUntil([&pending] { return pending.isFinished(); });
    return pending.reply();
}

BluezStandIn::BluezStandIn(QString address) : address_(std::move(address)) {
    registerDBusTypes();
    start();
}

void BluezStandIn::start() {
    if (running())
        return;
    static int instances = 0;
    name_ = QStringLiteral("tovali-bluez-stand-in-%1").arg(++instances);
    QDBusConnection bus = QDBusConnection::connectToBus(address_, name_);
    bus.connect(QString(), QString(), propertiesInterface, "PropertiesChanged",
                {gattCharacteristicInterface}, QString(), this,
                SLOT(onPropertiesChanged(QDBusMessage)));
    adapterPresent_ = true;
    // The bus may not yet have seen our previous connection close.
    if (!bus.registerVirtualObject("/", this, QDBusConnection::SubPath) ||
        !waitUntil([&bus] { return bus.registerService(busName); }, 2000))
        stop();
}

void BluezStandIn::stop() {
    if (name_.isEmpty())
        return;
    // Pending calls hold on to the connection, and their answers belong to the old daemon.
    qDeleteAll(findChildren<QDBusPendingCallWatcher*>(Qt::FindDirectChildrenOnly));
    clearRegistrations();
    devices_.clear();
    QDBusConnection(name_).unregisterObject("/", QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus(std::exchange(name_, QString()));
}

void BluezStandIn::clearRegistrations() {
    ++generation_;
    applicationOwner_.clear();
    characteristics_.clear();
    advertisement_.reset();
}

bool BluezStandIn::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    if (message.type() != QDBusMessage::MethodCallMessage ||
        message.interface() == "org.freedesktop.DBus.Introspectable")
        return false;
    const QString member = message.member();
    const bool managing = message.path() == adapterPath && adapterPresent_ && lePeripheral_;
    if (!running()) {
        // Unanswered, as with bluetoothd gone.
    } else if (accessDenied_) {
        post(message.createErrorReply(accessDeniedError, "org.bluez is not for this caller"));
    } else if (message.path() == "/" && message.interface() == objectManagerInterface &&
               member == "GetManagedObjects") {
        ManagedObjects objects;
        if (adapterPresent_)
            objects.insert(QDBusObjectPath(adapterPath), adapterInterfaces());
        post(message.createReply(QVariant::fromValue(objects)));
    } else if (managing && member.startsWith("Register") && !refusal_.first.isEmpty()) {
        post(message.createErrorReply(refusal_.first, refusal_.second));
    } else if (managing && member == "RegisterApplication") {
        registerApplication(message);
    } else if (managing && member == "RegisterAdvertisement") {
        advertisement_.emplace(message.service(),
                               message.arguments().value(0).value<QDBusObjectPath>().path());
        ++advertisementRegistrations_;
        post(message.createReply());
    } else if (managing && member == "UnregisterApplication") { // neither asks for an answer
        applicationOwner_.clear();
        characteristics_.clear();
    } else if (managing && member == "UnregisterAdvertisement") {
        advertisement_.reset();
    } else if (isConnected(message.path()) && member == "Disconnect") {
        disconnectDevice(message.path());
        post(message.createReply());
    } else {
        post(message.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod", member));
    }
    return true;
}

InterfaceMap BluezStandIn::adapterInterfaces() const {
    InterfaceMap interfaces{{adapterInterface,
                             {{"Address", "00:1A:7D:DA:71:13"},
                              {"Powered", powered_},
                              {"Roles", QStringList{"central"}}}}};
    if (lePeripheral_) {
        interfaces[adapterInterface]["Roles"] = QStringList{"central", "peripheral"};
        interfaces.insert(gattManagerInterface, {});
        interfaces.insert(advertisingManagerInterface, {});
    }
    return interfaces;
}

// The application's objects are read before the answer, as bluetoothd does.
void BluezStandIn::registerApplication(const QDBusMessage& call) {
    if (!applicationOwner_.isEmpty())
        return post(call.createErrorReply(alreadyExistsError, "Already Exists"));
    const QString root = call.arguments().value(0).value<QDBusObjectPath>().path();
    const auto read = QDBusMessage::createMethodCall(call.service(), root, objectManagerInterface,
                                                     "GetManagedObjects");
    // A child, so that stop() drops the answer with the daemon that was waiting for it.
    auto* watcher = new QDBusPendingCallWatcher(connection().asyncCall(read), this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this,
        [this, call, watcher, generation = generation_] {
            watcher->deleteLater();
            const QDBusMessage reply = watcher->reply();
            if (generation != generation_)
                return post(call.createErrorReply(failedError, "Failed to complete registration"));
            QMap<QString, Characteristic> found;
            bool service = false;
            if (reply.signature() == "a{oa{sa{sv}}}") {
                const auto objects = qdbus_cast<ManagedObjects>(reply.arguments().at(0));
                for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
                    service = service || it->contains(gattServiceInterface);
                    const QVariantMap c = it->value(gattCharacteristicInterface);
                    if (!c.isEmpty())
                        found.insert(c.value("UUID").toString().toLower(),
                                     {it.key().path(), c.value("Flags").toStringList()});
                }
            }
            if (!service || found.empty())
                return post(call.createErrorReply(failedError, "No valid service object found"));
            applicationOwner_ = call.service();
            characteristics_ = std::move(found);
            ++applicationRegistrations_;
            post(call.createReply());
        });
}

// The adapter.

void BluezStandIn::setPowered(bool on) {
    if (on == powered_)
        return;
    for (auto& [path, device] : devices_)
        disconnectDevice(path);
    powered_ = on;
    if (adapterPresent_)
        emitSignal(adapterPath, propertiesInterface, "PropertiesChanged",
                   {adapterInterface, QVariantMap{{"Powered", powered_}}, QStringList()});
}

void BluezStandIn::powerCycle() {
    for (auto& [path, device] : devices_)
        disconnectDevice(path);
    emitSignal(adapterPath, propertiesInterface, "PropertiesChanged",
               {adapterInterface, QVariantMap{{"Powered", true}}, QStringList()});
}

void BluezStandIn::removeAdapter() {
    if (!running() || !adapterPresent_)
        return;
    if (advertisement_)
        post(QDBusMessage::createMethodCall(advertisement_->first, advertisement_->second,
                                            advertisementInterface, "Release"));
    clearRegistrations();
    for (const auto& [path, device] : devices_)
        emitSignal("/", objectManagerInterface, "InterfacesRemoved",
                   {QVariant::fromValue(QDBusObjectPath(path)), QStringList{deviceInterface}});
    devices_.clear();
    adapterPresent_ = false;
    emitSignal("/", objectManagerInterface, "InterfacesRemoved",
               {QVariant::fromValue(QDBusObjectPath(adapterPath)), adapterInterfaces().keys()});
}

void BluezStandIn::restoreAdapter() {
    if (!running() || adapterPresent_)
        return;
    adapterPresent_ = true;
    InterfaceMap interfaces = adapterInterfaces();
    // The advertising manager waits for the kernel's advertising features.
    interfaces.remove(advertisingManagerInterface);
    const QVariant path = QVariant::fromValue(QDBusObjectPath(adapterPath));
    emitSignal("/", objectManagerInterface, "InterfacesAdded",
               {path, QVariant::fromValue(interfaces)});
    if (lePeripheral_)
        emitSignal("/", objectManagerInterface, "InterfacesAdded",
                   {path, QVariant::fromValue(InterfaceMap{{advertisingManagerInterface, {}}})});
}

} // namespace tovali::test
