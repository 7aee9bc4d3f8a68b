#include "support/bluez_stand_in.hpp"
#include "support/bluez_stand_in_rules.hpp"

namespace tovali::test {

using namespace standin;

// GATT applications.

void BluezStandIn::registerApplication(const QDBusMessage& call) {
    if (call.signature() != "oa{sv}")
        return answerError(call, invalidArguments, "Invalid arguments in method call");
    if (!refusalName_.isEmpty())
        return answerError(call, refusalName_, refusalMessage_);
    const QString owner = call.service();
    const QString root = call.arguments().at(0).value<QDBusObjectPath>().path();
    auto same = [&](const auto& each) { return each.owner == owner && each.path == root; };
    if (std::any_of(applications_.begin(), applications_.end(), same) ||
        std::any_of(pendingApplications_.begin(), pendingApplications_.end(), same))
        return answerError(call, "org.bluez.Error.AlreadyExists", "Already Exists");

    const std::uint64_t id = nextId_++;
    pendingApplications_.push_back({id, owner, root, call});
    callAsync(
        QDBusMessage::createMethodCall(owner, root, objectManagerInterface, "GetManagedObjects"),
        [this, id](const QDBusMessage& reply) { finishApplication(id, reply); });
}

void BluezStandIn::finishApplication(std::uint64_t id, const QDBusMessage& reply) {
    const auto it = std::find_if(pendingApplications_.begin(), pendingApplications_.end(),
                                 [id](const Pending& each) { return each.id == id; });
    if (it == pendingApplications_.end())
        return; // unregistered, or its owner left, meanwhile
    const Pending pending = *it;
    pendingApplications_.erase(it);
    Parsed parsed = parseApplication(pending.owner, pending.path, reply);
    if (!parsed.application)
        return answerError(pending.call, failed, parsed.error);
    applications_.push_back(std::move(*parsed.application));
    ++applicationRegistrations_;
    mirrorRegistrations();
    post(pending.call.createReply());
}

void BluezStandIn::unregisterApplication(const QDBusMessage& call) {
    if (call.signature() != "o")
        return answerError(call, invalidArguments, "Invalid arguments in method call");
    const QString owner = call.service();
    const QString root = call.arguments().at(0).value<QDBusObjectPath>().path();
    auto same = [&](const auto& each) { return each.owner == owner && each.path == root; };
    const auto registered = std::find_if(applications_.begin(), applications_.end(), same);
    const auto pending =
        std::find_if(pendingApplications_.begin(), pendingApplications_.end(), same);
    if (registered != applications_.end()) {
        std::vector<Characteristic> gone = registered->characteristics;
        applications_.erase(registered);
        dropSubscriptions([&](const Key& key) {
            return key.first == owner && std::any_of(gone.begin(), gone.end(),
                                                     [&](auto& c) { return c.path == key.second; });
        });
        mirrorRegistrations();
    } else if (pending != pendingApplications_.end()) {
        pendingApplications_.erase(pending);
    } else {
        return answerError(call, "org.bluez.Error.DoesNotExist", "Does Not Exist");
    }
    post(call.createReply());
}

// Advertisements.

void BluezStandIn::registerAdvertisement(const QDBusMessage& call) {
    if (call.signature() != "oa{sv}")
        return answerError(call, invalidArguments, "Invalid arguments in method call");
    if (!refusalName_.isEmpty())
        return answerError(call, refusalName_, refusalMessage_);
    const QString owner = call.service();
    const QString path = call.arguments().at(0).value<QDBusObjectPath>().path();
    auto same = [&](const auto& each) { return each.owner == owner && each.path == path; };
    if (std::any_of(advertisements_.begin(), advertisements_.end(), same) ||
        std::any_of(pendingAdvertisements_.begin(), pendingAdvertisements_.end(), same))
        return answerError(call, "org.bluez.Error.AlreadyExists", "Already Exists");
    if (advertisements_.size() + pendingAdvertisements_.size() >= maxAdvertisements)
        return answerError(call, "org.bluez.Error.NotPermitted", "Maximum advertisements reached");

    const std::uint64_t id = nextId_++;
    pendingAdvertisements_.push_back({id, owner, path, call});
    // An advertisement needs no ObjectManager: only GetAll's answer counts.
    callAsync(
        QDBusMessage::createMethodCall(owner, path, objectManagerInterface, "GetManagedObjects"),
        [this, id, owner, path](const QDBusMessage&) {
            QDBusMessage getAll =
                QDBusMessage::createMethodCall(owner, path, propertiesInterface, "GetAll");
            getAll << advertisementInterface;
            callAsync(getAll,
                      [this, id](const QDBusMessage& reply) { finishAdvertisement(id, reply); });
        });
}

void BluezStandIn::finishAdvertisement(std::uint64_t id, const QDBusMessage& reply) {
    const auto it = std::find_if(pendingAdvertisements_.begin(), pendingAdvertisements_.end(),
                                 [id](const Pending& each) { return each.id == id; });
    if (it == pendingAdvertisements_.end())
        return;
    const Pending pending = *it;
    pendingAdvertisements_.erase(it);
    std::optional<Advertisement> ad;
    if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == "a{sv}")
        ad = parseAdvertisement(pending.owner, pending.path,
                                qdbus_cast<QVariantMap>(reply.arguments().at(0)));
    if (!ad)
        return answerError(pending.call, failed, parseFailure);
    advertisements_.push_back(std::move(*ad));
    ++advertisementRegistrations_;
    mirrorRegistrations();
    post(pending.call.createReply());
    emitAdvertisingCounts();
}

void BluezStandIn::unregisterAdvertisement(const QDBusMessage& call) {
    if (call.signature() != "o")
        return answerError(call, invalidArguments, "Invalid arguments in method call");
    const QString owner = call.service();
    const QString path = call.arguments().at(0).value<QDBusObjectPath>().path();
    auto same = [&](const auto& each) { return each.owner == owner && each.path == path; };
    const auto registered = std::find_if(advertisements_.begin(), advertisements_.end(), same);
    const auto pending =
        std::find_if(pendingAdvertisements_.begin(), pendingAdvertisements_.end(), same);
    if (registered != advertisements_.end()) {
        advertisements_.erase(registered);
        mirrorRegistrations();
        post(call.createReply());
        emitAdvertisingCounts();
    } else if (pending != pendingAdvertisements_.end()) {
        answerError(pending->call, failed, "Failed to complete registration");
        pendingAdvertisements_.erase(pending);
        post(call.createReply());
    } else {
        answerError(call, "org.bluez.Error.DoesNotExist", "Does Not Exist");
    }
}

void BluezStandIn::onNameOwnerChanged(const QString& name, const QString&,
                                      const QString& newOwner) {
    if (name.startsWith(':') && newOwner.isEmpty())
        forgetOwner(name);
}

// bluetoothd drops what a client registered, silently, once it leaves the bus.
void BluezStandIn::forgetOwner(const QString& owner) {
    auto ownedBy = [&owner](const auto& each) { return each.owner == owner; };
    std::erase_if(pendingApplications_, ownedBy);
    std::erase_if(pendingAdvertisements_, ownedBy);
    std::erase_if(applications_, ownedBy);
    const std::size_t ads = advertisements_.size();
    std::erase_if(advertisements_, ownedBy);
    dropSubscriptions([&owner](const Key& key) { return key.first == owner; });
    mirrorRegistrations();
    if (advertisements_.size() != ads)
        emitAdvertisingCounts();
}

void BluezStandIn::mirrorRegistrations() {
    application_ =
        applications_.empty() ? std::nullopt : std::optional<Application>(applications_.back());
    advertisement_ = advertisements_.empty() ? std::nullopt
                                             : std::optional<Advertisement>(advertisements_.back());
}

void BluezStandIn::emitAdvertisingCounts() {
    if (adapterPresent_ && lePeripheralNow_)
        emitPropertiesChanged(adapterPath, advertisingManagerInterface, advertisingProperties());
}

// The adapter.

void BluezStandIn::setPowered(bool on) {
    if (on == powered_)
        return;
    if (!on) {
        for (auto& [path, device] : devices_)
            disconnectDevice(path);
        for (Advertisement& ad : advertisements_)
            ad.lost = true;
        mirrorRegistrations();
    }
    powered_ = on;
    if (adapterPresent_)
        emitPropertiesChanged(adapterPath, adapterInterface, {{"Powered", powered_}});
}

bool BluezStandIn::onAir() const {
    return powered_ && adapterPresent_ &&
           std::any_of(advertisements_.begin(), advertisements_.end(),
                       [](const Advertisement& ad) { return !ad.lost; });
}

void BluezStandIn::removeAdapter() {
    if (!running_ || !adapterPresent_)
        return;
    for (const Advertisement& ad : advertisements_)
        post(QDBusMessage::createMethodCall(ad.owner, ad.path, advertisementInterface, "Release"));
    for (const Pending& pending : pendingAdvertisements_) {
        post(QDBusMessage::createMethodCall(pending.owner, pending.path, advertisementInterface,
                                            "Release"));
        answerError(pending.call, failed, "Failed to complete registration");
    }
    // A GATT application has no Release: its registration just ends, and so does a pending one.
    pendingApplications_.clear();
    pendingAdvertisements_.clear();
    applications_.clear();
    advertisements_.clear();
    notifyCounts_.clear();
    mirrorRegistrations();
    for (const auto& [path, device] : devices_)
        emitInterfacesRemoved(path, interfacesOf(path)->keys());
    devices_.clear();
    const QStringList interfaces = interfacesOf(adapterPath)->keys();
    adapterPresent_ = false;
    emitInterfacesRemoved(adapterPath, interfaces);
}

void BluezStandIn::restoreAdapter() {
    if (!running_ || adapterPresent_)
        return;
    adapterPresent_ = true;
    lePeripheralNow_ = lePeripheral_;
    InterfaceMap interfaces = *interfacesOf(adapterPath);
    // The advertising manager waits for the kernel's advertising features.
    interfaces.remove(advertisingManagerInterface);
    emitInterfacesAdded(adapterPath, interfaces);
    if (lePeripheralNow_)
        emitInterfacesAdded(adapterPath, {{advertisingManagerInterface, advertisingProperties()}});
}

} // namespace tovali::test
