#include "vm/bluez_central.hpp"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <algorithm>
#include <utility>

#include "platform/bluez/dbus_types.hpp"
#include "support/bluez_stand_in.hpp"

namespace tovali::test {

using namespace tovali::bluez;

namespace {

// A little longer than bluetoothd's own scan window of 10.24 s.
constexpr int scanMs = 12000;

ManagedObjects managedObjects(const QDBusConnection& bus) {
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
        busName, QStringLiteral("/"), objectManagerInterface, QStringLiteral("GetManagedObjects")));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return qdbus_cast<ManagedObjects>(reply.arguments().at(0));
}

} // namespace

QString uuidText(const Uuid& uuid) {
    return QString::fromStdString(uuid.toString()).toLower();
}

BluezCentral::BluezCentral(QString adapter)
    : bus_(QDBusConnection::systemBus()), adapter_(std::move(adapter)) {
    registerDBusTypes();
    bus_.connect(busName, QString(), propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                 SLOT(onPropertiesChanged(QDBusMessage)));
}

QDBusMessage BluezCentral::call(const QString& path, const QString& interface,
                                const QString& method, const QList<QVariant>& arguments,
                                int timeoutMs) const {
    auto message = QDBusMessage::createMethodCall(busName, path, interface, method);
    message.setArguments(arguments);
    return bus_.call(message, QDBus::Block, timeoutMs);
}

QVariant BluezCentral::property(const QString& path, const QString& interface,
                                const QString& name) const {
    const QDBusMessage reply =
        call(path, propertiesInterface, QStringLiteral("Get"), {interface, name});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().at(0).value<QDBusVariant>().variant();
}

std::optional<BluezCentral::Found> BluezCentral::discover(const QString& serviceUuid,
                                                          int timeoutMs) {
    const QString prefix = adapter_ + QStringLiteral("/dev_");
    for (auto it : managedObjects(bus_).asKeyValueRange()) {
        if (it.first.path().startsWith(prefix))
            call(adapter_, adapterInterface, QStringLiteral("RemoveDevice"),
                 {QVariant::fromValue(it.first)});
    }
    call(adapter_, propertiesInterface, QStringLiteral("Set"),
         {adapterInterface, QStringLiteral("Powered"), QVariant::fromValue(QDBusVariant(true))});
    const QVariantMap filter{{QStringLiteral("UUIDs"), QStringList{serviceUuid}},
                             {QStringLiteral("Transport"), QStringLiteral("le")}};
    call(adapter_, adapterInterface, QStringLiteral("SetDiscoveryFilter"), {filter});
    // The first scan window after a restart often reports nothing; bluetoothd scans again.
    waitUntil(
        [&] {
            return call(adapter_, adapterInterface, QStringLiteral("StartDiscovery")).type() ==
                   QDBusMessage::ReplyMessage;
        },
        5000);
    std::optional<Found> found;
    const auto seen = [&] {
        for (auto it : managedObjects(bus_).asKeyValueRange()) {
            const QVariantMap device = it.second.value(deviceInterface);
            if (it.first.path().startsWith(prefix) &&
                device.value(QStringLiteral("UUIDs")).toStringList().contains(serviceUuid)) {
                found = Found{it.first.path(), device.value(QStringLiteral("Name")).toString()};
                return true;
            }
        }
        return false;
    };
    // After bluetoothd restarts, whole scan windows can pass without a report; a fresh scan is
    // what a phone's user would start.
    for (int left = timeoutMs; left > 0 && !found; left -= scanMs) {
        if (!waitUntil(seen, std::min(left, scanMs))) {
            call(adapter_, adapterInterface, QStringLiteral("StopDiscovery"));
            call(adapter_, adapterInterface, QStringLiteral("StartDiscovery"));
        }
    }
    call(adapter_, adapterInterface, QStringLiteral("StopDiscovery"));
    return found;
}

QString BluezCentral::connect(const QString& device) {
    device_ = device;
    notifying_.clear();
    QString error;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QDBusMessage reply = call(device, deviceInterface, QStringLiteral("Connect"));
        if (reply.type() != QDBusMessage::ReplyMessage) {
            error = reply.errorName() + ": " + reply.errorMessage();
            continue;
        }
        if (waitUntil(
                [&] {
                    return property(device, deviceInterface, QStringLiteral("ServicesResolved"))
                        .toBool();
                },
                15000))
            return {};
        error = QStringLiteral("the services were not resolved");
    }
    return error;
}

void BluezCentral::disconnect() {
    call(device_, deviceInterface, QStringLiteral("Disconnect"));
}

bool BluezCentral::connected() const {
    return property(device_, deviceInterface, QStringLiteral("Connected")).toBool();
}

QMap<QString, QStringList> BluezCentral::characteristics(const QString& serviceUuid) const {
    const ManagedObjects objects = managedObjects(bus_);
    QMap<QString, QStringList> found;
    for (auto it : objects.asKeyValueRange()) {
        const QVariantMap characteristic = it.second.value(gattCharacteristicInterface);
        if (characteristic.isEmpty() || !it.first.path().startsWith(device_ + '/'))
            continue;
        const auto service =
            characteristic.value(QStringLiteral("Service")).value<QDBusObjectPath>();
        const QString uuid = objects.value(service)
                                 .value(gattServiceInterface)
                                 .value(QStringLiteral("UUID"))
                                 .toString();
        if (uuid == serviceUuid) {
            found.insert(characteristic.value(QStringLiteral("UUID")).toString(),
                         characteristic.value(QStringLiteral("Flags")).toStringList());
        }
    }
    return found;
}

QString BluezCentral::characteristicPath(const Uuid& characteristic) const {
    const QString uuid = uuidText(characteristic);
    for (auto it : managedObjects(bus_).asKeyValueRange()) {
        const QVariantMap properties = it.second.value(gattCharacteristicInterface);
        if (it.first.path().startsWith(device_ + '/') &&
            properties.value(QStringLiteral("UUID")).toString() == uuid)
            return it.first.path();
    }
    return {};
}

QString BluezCentral::subscribe(const Uuid& characteristic) {
    notifying_ = characteristicPath(characteristic);
    const QDBusMessage reply =
        call(notifying_, gattCharacteristicInterface, QStringLiteral("StartNotify"));
    if (reply.type() == QDBusMessage::ReplyMessage)
        return {};
    return notifying_ + ": " + reply.errorName() + ": " + reply.errorMessage();
}

void BluezCentral::onPropertiesChanged(const QDBusMessage& message) {
    if (notifying_.isEmpty() || message.path() != notifying_ || message.arguments().size() < 2)
        return;
    if (qdbus_cast<QVariantMap>(message.arguments().at(1)).contains(QStringLiteral("Value")))
        ++notifications_;
}

std::uint64_t BluezCentral::write(const Uuid& characteristic, Bytes value) {
    // The input characteristic takes writes without response, as the watch sends them.
    const bool command = characteristic == gatt::input;
    const QVariantMap options{
        {QStringLiteral("type"), command ? QStringLiteral("command") : QStringLiteral("request")}};
    const QDBusMessage reply = call(characteristicPath(characteristic), gattCharacteristicInterface,
                                    QStringLiteral("WriteValue"), {toQByteArray(value), options});
    const std::uint64_t token = nextToken_++;
    // The central's API does not say which ATT error came back; "Unlikely Error" stands for all.
    answers_.emplace(token, reply.type() == QDBusMessage::ReplyMessage ? AttResult::success
                                                                       : AttResult{0x0e});
    return token;
}

std::optional<AttResult> BluezCentral::responseTo(std::uint64_t token) const {
    const auto found = answers_.find(token);
    if (found == answers_.end())
        return std::nullopt;
    return found->second;
}

std::optional<Bytes> BluezCentral::readLong(const Uuid& characteristic) {
    const QDBusMessage reply = call(characteristicPath(characteristic), gattCharacteristicInterface,
                                    QStringLiteral("ReadValue"), {QVariantMap()});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    const QByteArray bytes = reply.arguments().at(0).toByteArray();
    return Bytes(bytes.cbegin(), bytes.cend());
}

} // namespace tovali::test
