// The centrals of bluetoothd's stand-in, and a test watch's radio on one of them.
#include <QDBusArgument>
#include <QDBusObjectPath>

#include "support/bluez_stand_in.hpp"

namespace tovali::test {

using namespace bluez;

namespace {

namespace att {
constexpr std::uint8_t invalidHandle = 0x01;
constexpr std::uint8_t readNotPermitted = 0x02;
constexpr std::uint8_t writeNotPermitted = 0x03;
constexpr std::uint8_t requestNotSupported = 0x06;
constexpr std::uint8_t invalidOffset = 0x07;
constexpr std::uint8_t unlikely = 0x0E;
} // namespace att

bool grants(const QStringList& flags, const char* access) {
    return std::any_of(flags.begin(), flags.end(),
                       [access](const QString& flag) { return flag.contains(access); });
}

// check_permissions(): a characteristic without any permission (notify only) passes the
// request on to the application.
std::uint8_t refusal(const QStringList& flags, bool writing) {
    const bool read = grants(flags, "read");
    const bool write = grants(flags, "write");
    if ((read || write) && !(writing ? write : read))
        return writing ? att::writeNotPermitted : att::readNotPermitted;
    return 0;
}

// dbus_error_to_att_ecode(), for the errors the application answers with.
std::uint8_t attErrorFor(const QDBusMessage& reply, bool writing) {
    const QString name = reply.errorName();
    if (name == notPermittedError)
        return writing ? att::writeNotPermitted : att::readNotPermitted;
    if (name == invalidOffsetError)
        return att::invalidOffset;
    if (name == "org.bluez.Error.NotSupported")
        return att::requestNotSupported;
    return att::unlikely;
}

} // namespace

QString BluezStandIn::connectDevice(const QString& address) {
    const QString path = adapterPath + "/dev_" + address.toUpper().replace(':', '_');
    if (!running_ || !adapterPresent_ || !powered_) {
        qWarning("bluetoothd stand-in: no adapter for %s to connect to", qPrintable(address));
        return path;
    }
    const auto it = devices_.find(path);
    if (it == devices_.end()) {
        devices_[path] = Device{address.toUpper(), true, {}};
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
    Device& device = found->second;
    device.connected = false;
    emitSignal(path, propertiesInterface, "PropertiesChanged",
               {deviceInterface, QVariantMap{{"Connected", false}}, QStringList()});
    // Not bonded: the disconnection counts as writing 0 to each CCC.
    for (const QString& characteristic : std::exchange(device.subscriptions, {}))
        post(QDBusMessage::createMethodCall(applicationOwner_, characteristic,
                                            gattCharacteristicInterface, "StopNotify"));
}

std::optional<BluezStandIn::Characteristic>
BluezStandIn::target(const QString& device, const QString& uuid, AttAnswer& answer) const {
    const auto it = devices_.find(device);
    if (!running_ || it == devices_.end() || !it->second.connected) {
        qWarning("bluetoothd stand-in: %s is not connected", qPrintable(device));
        answer.error = att::unlikely;
        return std::nullopt;
    }
    for (const Characteristic& c : characteristics_) {
        if (c.uuid == uuid.toLower())
            return c;
    }
    answer.error = att::invalidHandle;
    return std::nullopt;
}

QVariantMap BluezStandIn::options(const QString& device, std::uint16_t offset) const {
    QVariantMap dict{{"device", QVariant::fromValue(QDBusObjectPath(device))},
                     {"link", "LE"},
                     {"mtu", QVariant::fromValue(mtu)}};
    if (offset != 0)
        dict.insert("offset", QVariant::fromValue(offset));
    return dict;
}

AttAnswer BluezStandIn::write(const QString& device, const QString& uuid, const QByteArray& value) {
    AttAnswer answer;
    const std::optional<Characteristic> c = target(device, uuid, answer);
    if (!c || (answer.error = refusal(c->flags, true)) != 0)
        return answer;
    QDBusMessage call = QDBusMessage::createMethodCall(applicationOwner_, c->path,
                                                       gattCharacteristicInterface, "WriteValue");
    call.setArguments({value, options(device, 0)});
    if (c->flags.contains("write-without-response")) {
        post(call);
        return answer;
    }
    const std::optional<QDBusMessage> reply = callAndWait(call);
    if (!reply) {
        answer.error = att::unlikely;
    } else if (reply->type() != QDBusMessage::ReplyMessage) {
        answer.dbusError = reply->errorName();
        answer.error = attErrorFor(*reply, true);
    }
    return answer;
}

AttAnswer BluezStandIn::read(const QString& device, const QString& uuid, std::uint16_t offset) {
    AttAnswer answer;
    const std::optional<Characteristic> c = target(device, uuid, answer);
    if (!c || (answer.error = refusal(c->flags, false)) != 0)
        return answer;
    QDBusMessage call = QDBusMessage::createMethodCall(applicationOwner_, c->path,
                                                       gattCharacteristicInterface, "ReadValue");
    call.setArguments({options(device, offset)});
    const std::optional<QDBusMessage> reply = callAndWait(call);
    if (!reply) {
        answer.error = att::unlikely;
    } else if (reply->type() != QDBusMessage::ReplyMessage) {
        answer.dbusError = reply->errorName();
        answer.error = attErrorFor(*reply, false);
    } else {
        answer.value = reply->arguments().value(0).toByteArray().left(mtu - 1);
    }
    return answer;
}

void BluezStandIn::subscribe(const QString& device, const QString& uuid) {
    AttAnswer refused;
    const std::optional<Characteristic> c = target(device, uuid, refused);
    if (!c || !grants(c->flags, "notify") || devices_[device].subscriptions.contains(c->path))
        return;
    devices_[device].subscriptions.insert(c->path);
    post(QDBusMessage::createMethodCall(applicationOwner_, c->path, gattCharacteristicInterface,
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
    const AttAnswer answer = bluez_.write(
        device_, QString::fromStdString(characteristic.toString()), toQByteArray(value));
    const std::uint64_t token = nextToken_++;
    answers_[token] = static_cast<AttResult>(answer.error);
    return token;
}

std::optional<AttResult> StandInRadio::responseTo(std::uint64_t token) const {
    const auto it = answers_.find(token);
    if (it == answers_.end())
        return std::nullopt;
    return it->second;
}

std::optional<Bytes> StandInRadio::readLong(const Uuid& characteristic) {
    const QString uuid = QString::fromStdString(characteristic.toString());
    Bytes value;
    // Nothing longer than an attribute can hold is a value.
    while (value.size() <= 512) {
        const AttAnswer answer =
            bluez_.read(device_, uuid, static_cast<std::uint16_t>(value.size()));
        if (answer.error != 0)
            return std::nullopt;
        value.insert(value.end(), answer.value.begin(), answer.value.end());
        if (answer.value.size() < BluezStandIn::mtu - 1)
            return value;
    }
    return std::nullopt;
}

} // namespace tovali::test
