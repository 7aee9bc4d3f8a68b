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
        emitSignal("/", objectManagerInterface, "InterfacesAdded",
                   {QVariant::fromValue(QDBusObjectPath(path)),
                    QVariant::fromValue(InterfaceMap{{deviceInterface, {{"Connected", true}}}})});
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
    found->second.subscriptions.clear();
}

std::optional<BluezStandIn::Characteristic> BluezStandIn::target(const QString& device,
                                                                 const QString& uuid) const {
    const auto it = devices_.find(device);
    const auto found = characteristics_.find(uuid.toLower());
    if (!running_ || it == devices_.end() || !it->second.connected ||
        found == characteristics_.end())
        return std::nullopt;
    return *found;
}

void BluezStandIn::subscribe(const QString& device, const QString& uuid) {
    if (const auto found = target(device, uuid); found && found->flags.contains("notify"))
        devices_[device].subscriptions.insert(found->path);
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

// The watch's radio. The application decides what it permits; the options are those it reads.

std::uint64_t StandInRadio::write(const Uuid& characteristic, Bytes value) {
    const auto found = bluez_.target(device_, QString::fromStdString(characteristic.toString()));
    if (!found) {
        answers_.push_back(false);
        return answers_.size();
    }
    const QDBusMessage call = bluez_.callTo(found->path, "WriteValue")
                              << toQByteArray(value) << options();
    const bool withoutResponse = found->flags.contains("write-without-response");
    if (withoutResponse)
        bluez_.post(call);
    answers_.push_back(withoutResponse ||
                       callAndWait(bluez_.connection(), call).type() == QDBusMessage::ReplyMessage);
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
        const auto found = bluez_.target(device_, uuid);
        QVariantMap read = options();
        if (!value.empty())
            read.insert("offset", QVariant::fromValue(static_cast<std::uint16_t>(value.size())));
        const QDBusMessage reply =
            found
                ? callAndWait(bluez_.connection(), bluez_.callTo(found->path, "ReadValue") << read)
                : QDBusMessage();
        if (reply.type() != QDBusMessage::ReplyMessage)
            return std::nullopt;
        const QByteArray piece =
            reply.arguments().value(0).toByteArray().left(BluezStandIn::mtu - 1);
        value.insert(value.end(), piece.begin(), piece.end());
        if (piece.size() < BluezStandIn::mtu - 1)
            return value;
    }
    return std::nullopt;
}

} // namespace tovali::test
