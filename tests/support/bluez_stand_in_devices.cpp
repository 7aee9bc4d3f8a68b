// The centrals of bluetoothd's stand-in, and a test watch's radio on one of them.
#include <QDBusArgument>
#include <QDBusObjectPath>

#include "support/bluez_stand_in.hpp"

namespace tovali::test {

using namespace bluez;

QString BluezStandIn::connectDevice(const QString& address) {
    const QString path = adapterPath + "/dev_" + address.toUpper().replace(':', '_');
    if (!running_ || !adapterPresent_ || !powered_)
        return path;
    const auto it = devices_.find(path);
    if (it == devices_.end()) {
        devices_[path] = Device{true, {}};
        emitSignal(
            "/", objectManagerInterface, "InterfacesAdded",
            {QVariant::fromValue(QDBusObjectPath(path)), QVariant::fromValue(*interfacesOf(path))});
    } else if (!it->second.connected) {
        it->second.connected = true;
        emitSignal(path, propertiesInterface, "PropertiesChanged",
                   {deviceInterface, QVariantMap{{"Connected", true}}, QStringList()});
    }
    return path;
}

void BluezStandIn::disconnectDevice(const QString& path) {
    const auto found = devices_.find(path);
    if (found == devices_.end() || !found->second.connected)
        return;
    found->second.connected = false;
    emitSignal(path, propertiesInterface, "PropertiesChanged",
               {deviceInterface, QVariantMap{{"Connected", false}}, QStringList()});
    // Not bonded: the disconnection counts as writing 0 to each CCC.
    for (const QString& characteristic : std::exchange(found->second.subscriptions, {}))
        post(QDBusMessage::createMethodCall(applicationOwner_, characteristic,
                                            gattCharacteristicInterface, "StopNotify"));
}

std::optional<QString> BluezStandIn::target(const QString& device, const QString& uuid) const {
    const auto it = devices_.find(device);
    if (!running_ || it == devices_.end() || !it->second.connected)
        return std::nullopt;
    for (auto c = characteristics_.cbegin(); c != characteristics_.cend(); ++c) {
        if (c->uuid == uuid.toLower())
            return c.key();
    }
    return std::nullopt;
}

// The application decides what it permits; the options are those it reads.
bool BluezStandIn::write(const QString& device, const QString& uuid, const QByteArray& value) {
    const std::optional<QString> path = target(device, uuid);
    if (!path)
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(applicationOwner_, *path,
                                                       gattCharacteristicInterface, "WriteValue");
    call << value << QVariantMap{{"device", QVariant::fromValue(QDBusObjectPath(device))}};
    if (characteristics_[*path].flags.contains("write-without-response")) {
        post(call);
        return true;
    }
    return callAndWait(call).type() == QDBusMessage::ReplyMessage;
}

std::optional<QByteArray> BluezStandIn::read(const QString& device, const QString& uuid,
                                             std::uint16_t offset) {
    const std::optional<QString> path = target(device, uuid);
    if (!path)
        return std::nullopt;
    QDBusMessage call = QDBusMessage::createMethodCall(applicationOwner_, *path,
                                                       gattCharacteristicInterface, "ReadValue");
    QVariantMap options{{"device", QVariant::fromValue(QDBusObjectPath(device))}};
    if (offset != 0)
        options.insert("offset", QVariant::fromValue(offset));
    const QDBusMessage reply = callAndWait(call << options);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return std::nullopt;
    return reply.arguments().value(0).toByteArray().left(mtu - 1);
}

void BluezStandIn::subscribe(const QString& device, const QString& uuid) {
    const std::optional<QString> path = target(device, uuid);
    if (!path || !characteristics_[*path].flags.contains("notify") ||
        devices_[device].subscriptions.contains(*path))
        return;
    devices_[device].subscriptions.insert(*path);
    post(QDBusMessage::createMethodCall(applicationOwner_, *path, gattCharacteristicInterface,
                                        "StartNotify"));
}

void BluezStandIn::onPropertiesChanged(const QDBusMessage& message) {
    if (message.service() != applicationOwner_ || message.signature() != "sa{sv}as")
        return;
    const QVariantMap changed = qdbus_cast<QVariantMap>(message.arguments().at(1));
    if (!changed.contains("Value"))
        return;
    const QByteArray value = changed.value("Value").toByteArray();
    for (const auto& [path, device] : devices_) {
        if (device.connected && device.subscriptions.contains(message.path()))
            notifications_[path].append(value.left(mtu - 3));
    }
}

bool BluezStandIn::waitForNotifications(const QString& device, int count, int timeoutMs) {
    return waitUntil([&] { return notifications_.value(device).size() >= count; }, timeoutMs);
}

// The watch's radio.

std::uint64_t StandInRadio::write(const Uuid& characteristic, Bytes value) {
    answers_.push_back(bluez_.write(device_, QString::fromStdString(characteristic.toString()),
                                    toQByteArray(value)));
    return answers_.size();
}

std::optional<AttResult> StandInRadio::responseTo(std::uint64_t token) const {
    if (token == 0 || token > answers_.size())
        return std::nullopt;
    // Any refusal will do: a watch only tells success from failure.
    return answers_[token - 1] ? AttResult::success : AttResult{0x0e};
}

std::optional<Bytes> StandInRadio::readLong(const Uuid& characteristic) {
    const QString uuid = QString::fromStdString(characteristic.toString());
    Bytes value;
    // Nothing longer than an attribute can hold is a value.
    while (value.size() <= 512) {
        const auto piece = bluez_.read(device_, uuid, static_cast<std::uint16_t>(value.size()));
        if (!piece)
            return std::nullopt;
        value.insert(value.end(), piece->begin(), piece->end());
        if (piece->size() < BluezStandIn::mtu - 1)
            return value;
    }
    return std::nullopt;
}

} // namespace tovali::test
