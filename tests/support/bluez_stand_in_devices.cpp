// The centrals of bluetoothd's stand-in, and a test watch's radio on one of them.
#include <QDBusArgument>
#include <QDBusObjectPath>

#include "support/bluez_stand_in.hpp"

namespace tovali::test {

using namespace bluez;

QString BluezStandIn::connectDevice(const QString& address, bool paired, const QString& adapter) {
    const QString path = adapter + "/dev_" + address.toUpper().replace(':', '_');
    if (!running() || !adapterPresent_ || !powered_)
        return path;
    const auto it = devices_.find(path);
    if (it == devices_.end()) {
        devices_[path] = Device{true, {}};
        emitSignal("/", objectManagerInterface, "InterfacesAdded",
                   {QVariant::fromValue(QDBusObjectPath(path)),
                    QVariant::fromValue(InterfaceMap{
                        {deviceInterface, {{"Connected", true}, {"Paired", paired}}}})});
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
    if (!running() || it == devices_.end() || !it->second.connected ||
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
            notifications_[path].append(value);
    }
}

// The watch's radio. The application decides what it permits; the options are those it reads.

std::uint64_t StandInRadio::write(const Uuid& characteristic, Bytes value) {
    const auto found = bluez_.target(device_, QString::fromStdString(characteristic.toString()));
    const QDBusMessage call = found ? bluez_.callTo(found->path, "WriteValue")
                                          << toQByteArray(value) << bluez_.from(device_)
                                    : QDBusMessage();
    bool taken = found && found->flags.contains("write-without-response");
    if (taken)
        bluez_.post(call);
    else if (found)
        taken = callAndWait(bluez_.connection(), call).type() == QDBusMessage::ReplyMessage;
    answers_.push_back(taken);
    return answers_.size();
}

std::optional<AttResult> StandInRadio::responseTo(std::uint64_t token) const {
    if (token > answers_.size())
        return std::nullopt;
    // Any refusal will do: a watch only tells success from failure.
    return answers_[token - 1] ? AttResult::success : AttResult{0x0e};
}

// bluetoothd joins the blob reads of a long value on its own.
std::optional<Bytes> StandInRadio::readLong(const Uuid& characteristic) {
    const auto found = bluez_.target(device_, QString::fromStdString(characteristic.toString()));
    if (!found)
        return std::nullopt;
    const QDBusMessage reply = callAndWait(
        bluez_.connection(), bluez_.callTo(found->path, "ReadValue") << bluez_.from(device_));
    const QByteArray value = reply.arguments().value(0).toByteArray();
    return reply.type() == QDBusMessage::ReplyMessage
               ? std::optional(Bytes(value.begin(), value.end()))
               : std::nullopt;
}

} // namespace tovali::test
