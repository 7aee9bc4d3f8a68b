#include "support/bluez_stand_in.hpp"
#include "support/bluez_stand_in_rules.hpp"

namespace tovali::test {

using namespace standin;

// Centrals.

QString BluezStandIn::connectDevice(const QString& address) {
    const QString path = devicePath(address);
    if (!running_ || !adapterPresent_ || !powered_) {
        qWarning("bluetoothd stand-in: no adapter for %s to connect to", qPrintable(address));
        return path;
    }
    const auto it = devices_.find(path);
    if (it == devices_.end()) {
        devices_[path] = Device{address.toUpper(), true, {}};
        emitInterfacesAdded(path, *interfacesOf(path));
    } else if (!it->second.connected) {
        it->second.connected = true;
        emitPropertiesChanged(path, deviceInterface, {{"Connected", true}});
    }
    return path;
}

void BluezStandIn::disconnectDevice(const QString& device) {
    const auto it = devices_.find(device);
    if (it == devices_.end() || !it->second.connected)
        return;
    it->second.connected = false;
    emitPropertiesChanged(device, deviceInterface, {{"Connected", false}});
    // Not bonded: the disconnection counts as writing 0 to each CCC.
    const QSet<Key> ended = std::exchange(it->second.subscriptions, {});
    for (const Key& key : ended)
        endSubscription(key);
}

void BluezStandIn::removeDevice(const QString& device) {
    if (devices_.count(device) == 0)
        return;
    disconnectDevice(device);
    const QStringList interfaces = interfacesOf(device)->keys();
    devices_.erase(device);
    emitInterfacesRemoved(device, interfaces);
}

void BluezStandIn::endSubscription(const Key& key) {
    const auto count = notifyCounts_.find(key);
    if (count == notifyCounts_.end() || --count->second > 0)
        return;
    notifyCounts_.erase(count);
    post(QDBusMessage::createMethodCall(key.first, key.second, characteristicInterface,
                                        "StopNotify"));
}

// The attributes are gone with their application: nothing is said to it.
void BluezStandIn::dropSubscriptions(const std::function<bool(const Key&)>& gone) {
    for (auto& [path, device] : devices_)
        device.subscriptions.removeIf(gone);
    std::erase_if(notifyCounts_, [&gone](const auto& entry) { return gone(entry.first); });
}

std::optional<BluezStandIn::Target> BluezStandIn::target(const QString& device, const QString& uuid,
                                                         AttAnswer& answer) {
    const auto it = devices_.find(device);
    if (!running_ || it == devices_.end() || !it->second.connected) {
        qWarning("bluetoothd stand-in: %s is not connected", qPrintable(device));
        answer.error = att::unlikely;
        return std::nullopt;
    }
    const QString wanted = fullUuid(uuid);
    for (const Application& app : applications_) {
        for (const Characteristic& c : app.characteristics) {
            if (!wanted.isEmpty() && fullUuid(c.uuid) == wanted)
                return Target{app.owner, c};
        }
    }
    answer.error = att::invalidHandle;
    return std::nullopt;
}

QVariantMap BluezStandIn::options(const QString& device, std::uint16_t offset) const {
    QVariantMap dict{{"device", QVariant::fromValue(QDBusObjectPath(device))},
                     {"link", "LE"},
                     {"mtu", QVariant::fromValue(mtu_)}};
    if (offset != 0)
        dict.insert("offset", QVariant::fromValue(offset));
    return dict;
}

AttAnswer BluezStandIn::write(const QString& device, const QString& uuid, const QByteArray& value,
                              std::uint16_t offset) {
    AttAnswer answer;
    const std::optional<Target> found = target(device, uuid, answer);
    if (!found)
        return answer;
    const Characteristic& c = found->characteristic;
    if ((answer.error = refusal(c.flags, true)) != 0)
        return answer;
    // What does not fit one request goes as prepared writes, whose limit is lower.
    const bool prepared = offset != 0 || value.size() > mtu_ - 3;
    if (offset + value.size() > (prepared ? maxLongWrite : maxSingleWrite)) {
        answer.error = att::invalidValueLength;
        return answer;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(found->owner, c.path, characteristicInterface, "WriteValue");
    call.setArguments({value, options(device, offset)});
    if (c.flags.contains("write-without-response")) {
        connection_->send(call);
        return answer;
    }
    const std::optional<QDBusMessage> reply = callAndWait(call, attributeTimeoutMs);
    if (!reply) {
        answer.error = att::unlikely;
    } else if (reply->type() != QDBusMessage::ReplyMessage) {
        answer.dbusError = reply->errorName();
        answer.error = attErrorFor(*reply, true);
    } else if (!reply->arguments().isEmpty()) {
        answer.error = att::requestNotSupported;
    }
    return answer;
}

AttAnswer BluezStandIn::read(const QString& device, const QString& uuid, std::uint16_t offset) {
    AttAnswer answer;
    const std::optional<Target> found = target(device, uuid, answer);
    if (!found)
        return answer;
    const Characteristic& c = found->characteristic;
    if ((answer.error = refusal(c.flags, false)) != 0)
        return answer;
    QDBusMessage call =
        QDBusMessage::createMethodCall(found->owner, c.path, characteristicInterface, "ReadValue");
    call.setArguments({options(device, offset)});
    const std::optional<QDBusMessage> reply = callAndWait(call, attributeTimeoutMs);
    if (!reply) {
        answer.error = att::unlikely;
    } else if (reply->type() != QDBusMessage::ReplyMessage) {
        answer.dbusError = reply->errorName();
        answer.error = attErrorFor(*reply, false);
    } else if (reply->signature() != "ay") {
        answer.error = att::requestNotSupported;
    } else {
        answer.value = reply->arguments().at(0).toByteArray().left(maxValue).left(mtu_ - 1);
    }
    return answer;
}

void BluezStandIn::subscribe(const QString& device, const QString& uuid) {
    AttAnswer refused;
    const std::optional<Target> found = target(device, uuid, refused);
    if (!found)
        return;
    const Access access = accessOf(found->characteristic.flags);
    if (!access.notify) {
        qWarning("bluetoothd stand-in: %s refuses notifications on this link", qPrintable(uuid));
        return;
    }
    const Key key{found->owner, found->characteristic.path};
    QSet<Key>& subscriptions = devices_[device].subscriptions;
    if (subscriptions.contains(key))
        return; // the same CCC value again changes nothing
    subscriptions.insert(key);
    ++notifyCounts_[key];
    post(QDBusMessage::createMethodCall(key.first, key.second, characteristicInterface,
                                        "StartNotify"));
}

void BluezStandIn::onPropertiesChanged(const QDBusMessage& message) {
    if (message.signature() != "sa{sv}as")
        return;
    const Key key{message.service(), message.path()};
    const bool watched =
        std::any_of(applications_.begin(), applications_.end(), [&key](const Application& app) {
            return app.owner == key.first &&
                   std::any_of(app.characteristics.begin(), app.characteristics.end(),
                               [&key](const Characteristic& c) {
                                   const Access access = accessOf(c.flags);
                                   return c.path == key.second && access.notify;
                               });
        });
    if (!watched)
        return;
    const QList<QVariant> args = message.arguments();
    const QVariantMap changed = qdbus_cast<QVariantMap>(args.at(1));
    QByteArray value;
    if (changed.contains("Value")) {
        if (!holds<QByteArray>(changed.value("Value")))
            return;
        value = changed.value("Value").toByteArray().left(maxValue);
    } else if (!args.at(2).toStringList().contains("Value")) {
        return;
    }
    for (const auto& [path, device] : devices_) {
        if (device.connected && device.subscriptions.contains(key))
            notifications_[path].append(value.left(mtu_ - 3));
    }
}

QList<QByteArray> BluezStandIn::notifications(const QString& device) const {
    return notifications_.value(device);
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
    const qsizetype piece = bluez_.mtu() - 1;
    Bytes value;
    for (;;) {
        // Nothing longer than an attribute can hold is a value.
        if (value.size() > static_cast<std::size_t>(maxValue))
            return std::nullopt;
        const AttAnswer answer =
            bluez_.read(device_, uuid, static_cast<std::uint16_t>(value.size()));
        if (answer.error != 0)
            return std::nullopt;
        value.insert(value.end(), answer.value.begin(), answer.value.end());
        if (answer.value.size() < piece)
            return value;
    }
}

} // namespace tovali::test
