#include "server/bluetooth_server.hpp"

#include <algorithm>
#include <utility>

#include "link/key_schedule.hpp"
#include "link/wire_messages.hpp"
#include "server/computer_key.hpp"

namespace tovali {

namespace {

Characteristics makeCharacteristics() {
    using namespace characteristic_property;
    using namespace attribute_permission;
    return {
        .request = {gatt::request, write, writeable},
        .reply = {gatt::reply, read, readable},
        .signal = {gatt::signal, notify, readable},
        .input = {gatt::input, writeWithoutResponse, writeable},
    };
}

const Bytes replyReadySignal{replyReady};

} // namespace

ServiceDefinition publishedService() {
    const Characteristics c = makeCharacteristics();
    return {gatt::service, true, {c.request, c.reply, c.signal, c.input}};
}

BluetoothServer::BluetoothServer(Platform platform)
    : loop_(platform.loop), keychain_(platform.keychain), log_(platform.log),
      accessibility_(platform.accessibility), hostName_(platform.hostName),
      status_(Status::starting()), pairedWatches_({}), pairingRequest_(std::nullopt),
      accessibilityAllowed_(platform.accessibility.isProcessTrusted()),
      storageProblem_(std::nullopt), input_(platform.events, platform.displays, platform.loop),
      // The key is read, and perhaps made and stored, before the trust store and the radio.
      computerKey_(
          loadComputerKeyUnlessLocked(platform.keychain, platform.log, computerKeyAccount)),
      trust_(platform.defaults, platform.log, platform.loop) {
    if (!computerKey_) {
        log_.write(lockedKeychainLogLine());
        waitForUnlockedKey();
    }
    pairedWatches_.set(trust_.watches());
    publishStorageProblem();
    hostNameWatch_ = hostName_.whenChanged([this] { hostNameChanged(); });
    if (!hostName_.isKnown()) {
        // A watch shows the first name it sees; better a second's wait than the kernel's name.
        hostNameWait_ = loop_.runAfter(hostNameWaitSeconds, TimerClock::uptime, [this] {
            hostNameWait_.reset();
            if (advertiseWhenNameKnown_) {
                advertise();
            }
        });
    }
    manager_ = platform.makePeripheralManager(*this);
    accessibilityTimer_ =
        loop_.runEvery(accessibilityPollInterval, [this] { refreshAccessibility(); });
}

// Quitting must not leave a button pressed on the desktop, nor a change of the list unsaved.
BluetoothServer::~BluetoothServer() {
    input_.releaseAll();
    trust_.retryFailedSave();
}

void BluetoothServer::publishStorageProblem() {
    if (trust_.problem() != storageProblem_.value()) {
        storageProblem_.set(trust_.problem());
    }
}

// The computer's key

void BluetoothServer::waitForUnlockedKey() {
    lockedKeyRetry_ = loop_.runEvery(lockedKeyRetryInterval, [this] { retryLockedKey(); });
    keychainWatch_ = keychain_.whenChanged([this] { retryLockedKey(); });
}

void BluetoothServer::retryLockedKey() {
    if (computerKey_) {
        return;
    }
    computerKey_ = loadComputerKeyUnlessLocked(keychain_, log_, computerKeyAccount);
    if (!computerKey_) {
        return;
    }
    lockedKeyRetry_.reset();
    keychainWatch_.reset();
    if (managerState() == PeripheralState::poweredOn) {
        setUpService();
    }
    refreshStatus();
}

// Status

PeripheralState BluetoothServer::managerState() const {
    return manager_ ? manager_->state() : PeripheralState::unknown;
}

void BluetoothServer::refreshStatus() {
    switch (managerState()) {
    case PeripheralState::unsupported:
        status_.set(Status::unsupported());
        return;
    case PeripheralState::unauthorized:
        status_.set(Status::notAllowed());
        return;
    case PeripheralState::poweredOff:
        status_.set(Status::bluetoothOff());
        return;
    case PeripheralState::poweredOn:
        break;
    default:
        status_.set(Status::starting());
        return;
    }
    if (!computerKey_) {
        status_.set(Status::keyringLocked());
        return;
    }
    if (const auto& request = pairingRequest_.value()) {
        status_.set(Status::pairing(request->name));
        return;
    }
    const auto established = std::ranges::find_if(
        sessions_, [](const auto& entry) { return entry.second.isEstablished(); });
    if (established != sessions_.end()) {
        status_.set(Status::connected(established->second.name));
    } else if (serviceError_) {
        status_.set(Status::failed(*serviceError_));
    } else if (manager_->isAdvertising()) {
        status_.set(Status::waiting());
    } else {
        status_.set(Status::starting());
    }
}

void BluetoothServer::refreshAccessibility() {
    const bool allowed = accessibility_.isProcessTrusted();
    if (allowed != accessibilityAllowed_.value()) {
        accessibilityAllowed_.set(allowed);
    }
}

// Service and advertising

void BluetoothServer::peripheralManagerDidUpdateState(PeripheralManager&) {
    if (managerState() == PeripheralState::poweredOn) {
        // Without the key no watch could be answered: the service waits for it.
        if (computerKey_) {
            setUpService();
        }
    } else {
        sessions_.clear();
        idleChecks_.clear();
        cancelPairingTimeout();
        pairingRequest_.set(std::nullopt);
        input_.releaseAll();
    }
    refreshStatus();
}

void BluetoothServer::setUpService() {
    if (characteristics_) {
        advertise();
        return;
    }
    characteristics_ = makeCharacteristics();
    manager_->addService(publishedService());
}

void BluetoothServer::peripheralManagerDidAddService(PeripheralManager&, const Uuid&,
                                                     const std::optional<PeripheralError>& error) {
    if (!error) {
        // The advertising answer refreshes the status.
        advertise();
        return;
    }
    serviceError_ = "Could not start Bluetooth: " + error->localizedDescription;
    characteristics_.reset();
    refreshStatus();
}

void BluetoothServer::advertise() {
    if (manager_->isAdvertising()) {
        return;
    }
    advertiseWhenNameKnown_ = hostNameWait_ && !hostName_.isKnown();
    if (advertiseWhenNameKnown_) {
        return;
    }
    advertisedName_ = nameToAdvertise();
    manager_->startAdvertising({{gatt::service}, *advertisedName_});
}

std::string BluetoothServer::nameToAdvertise() const {
    return hostName_.localizedName().value_or("Computer");
}

void BluetoothServer::hostNameChanged() {
    if (hostName_.isKnown()) {
        hostNameWait_.reset();
    }
    if (advertiseWhenNameKnown_) {
        advertise();
        return;
    }
    // A renamed computer is advertised under its new name; the manager replaces the old
    // advertisement.
    const std::string name = nameToAdvertise();
    if (advertisedName_ && name != *advertisedName_ && characteristics_ &&
        managerState() == PeripheralState::poweredOn) {
        advertisedName_ = name;
        manager_->startAdvertising({{gatt::service}, name});
    }
}

void BluetoothServer::peripheralManagerDidStartAdvertising(
    PeripheralManager&, const std::optional<PeripheralError>& error) {
    if (error) {
        serviceError_ = "Could not advertise: " + error->localizedDescription;
    } else {
        serviceError_.reset();
    }
    refreshStatus();
}

// Requests

void BluetoothServer::peripheralManagerDidReceiveWriteRequests(
    PeripheralManager&, std::span<const AttRequest> requests) {
    if (!computerKey_) {
        return;
    }
    receiveWriteRequests(*this, requests);
}

void BluetoothServer::handleInput(const InputEvent& event) {
    input_.handleInput(event);
}

void BluetoothServer::respondToRequest(const AttRequest& request, AttResult result) {
    manager_->respondToRequest(request, result);
}

bool BluetoothServer::isTrusted(ByteView watchKey) const {
    return trust_.contains(watchKey);
}

void BluetoothServer::startPairing(PairingRequest request) {
    // Dropping the handle cancels the timer, so a time-out never outlives the server or refuses
    // a later pairing.
    pairingTimeout_ = loop_.runAfter(pairingTimeoutSeconds, TimerClock::continuous,
                                     [this, request] { answerPairing(request, false); });
    // Set before publishing: the interface asks at once when its answer may count.
    pairingPublishedAt_ = loop_.uptime();
    pairingRequest_.set(std::move(request));
}

void BluetoothServer::withdrawPairing() {
    cancelPairingTimeout();
    pairingRequest_.set(std::nullopt);
    backoff_.endedUnapproved(loop_.continuousTime());
}

bool BluetoothServer::pairingMustWait() const {
    return backoff_.mustWait(loop_.continuousTime());
}

void BluetoothServer::cancelPairingTimeout() {
    pairingTimeout_.reset();
}

// Sessions, replies and signals

void BluetoothServer::sendReply(const Reply& reply, const Uuid& central, bool signal) {
    const auto found = sessions_.find(central);
    if (found == sessions_.end()) {
        return;
    }
    found->second.reply = encodeReply(reply);
    if (signal && characteristics_) {
        notifyReplyReady(central);
    }
}

void BluetoothServer::notifyReplyReady(const Uuid& central) {
    if (!manager_->updateValue(replyReadySignal, characteristics_->signal.uuid, central)) {
        signalsToResend_.push_back(central);
    }
}

void BluetoothServer::openSession(const Uuid& central, bool signal) {
    const auto found = sessions_.find(central);
    if (found == sessions_.end()) {
        return;
    }
    Session& session = found->second;
    const Nonce salt = makeNonce();
    const auto key = deriveSessionKey(*computerKey_, session.watchKey, salt);
    if (!key) {
        sendReply(RejectedReply{}, central, signal);
        return;
    }
    session.opener.emplace(*key);
    session.computerNonce.reset();
    session.watchNonce.reset();
    manager_->setDesiredConnectionLatency(ConnectionLatency::low, central);
    sendReply(SessionOpenReply{computerKey_->publicKey(), salt}, central, signal);
}

void BluetoothServer::answerPairing(const PairingRequest& answered, bool allow) {
    const std::optional<PairingRequest> request = pairingRequest_.value();
    // An answer given for a request that has since been replaced must not approve the new one.
    if (!request || request->id != answered.id || request->code != answered.code) {
        return;
    }
    if (allow && loop_.uptime() < pairingPublishedAt_ + pairingArmingSeconds) {
        return;
    }
    pairingRequest_.set(std::nullopt);
    cancelPairingTimeout();
    const auto found = sessions_.find(request->id);
    if (found == sessions_.end() || !found->second.watchNonce) {
        backoff_.endedUnapproved(loop_.continuousTime());
        refreshStatus();
        return;
    }
    Session& session = found->second;
    if (allow) {
        backoff_.approved();
        trust_.add(session.watchKey, session.name);
        pairedWatches_.set(trust_.watches());
        publishStorageProblem();
        openSession(request->id, true);
    } else {
        backoff_.endedUnapproved(loop_.continuousTime());
        session.computerNonce.reset();
        sendReply(RejectedReply{}, request->id, true);
    }
    refreshStatus();
}

void BluetoothServer::forget(const TrustedWatch& watch) {
    // The menu passes a record of the published list, which the new list replaces.
    const Bytes key = watch.key;
    trust_.remove(key);
    pairedWatches_.set(trust_.watches());
    publishStorageProblem();
    for (auto& [central, session] : sessions_) {
        if (std::ranges::equal(session.watchKey, key)) {
            session.opener.reset();
            sendReply(RejectedReply{}, central, true);
        }
    }
    input_.releaseAll();
    refreshStatus();
}

void BluetoothServer::peripheralManagerCentralDidUnsubscribe(PeripheralManager&,
                                                             const Uuid& central, const Uuid&) {
    dropCentral(central);
}

void BluetoothServer::dropCentral(const Uuid& central) {
    if (const auto& request = pairingRequest_.value(); request && request->id == central) {
        withdrawPairing();
    }
    const auto found = sessions_.find(central);
    if (found != sessions_.end()) {
        const bool wasEstablished = found->second.isEstablished();
        sessions_.erase(found);
        if (wasEstablished) {
            input_.releaseAll();
        }
    }
    refreshStatus();
}

void BluetoothServer::peripheralManagerDidReceiveReadRequest(PeripheralManager&,
                                                             const AttRequest& request) {
    answerRead(request);
}

void BluetoothServer::answerRead(const AttRequest& request) {
    if (request.characteristic != gatt::reply) {
        manager_->respondToRequest(request, AttResult::readNotPermitted);
        return;
    }
    const auto found = sessions_.find(request.central);
    const ByteView reply = found == sessions_.end() ? ByteView{} : ByteView(found->second.reply);
    if (request.offset > reply.size()) {
        manager_->respondToRequest(request, AttResult::invalidOffset);
        return;
    }
    AttRequest answered = request;
    answered.value = toBytes(reply.subspan(request.offset));
    manager_->respondToRequest(answered, AttResult::success);
}

void BluetoothServer::peripheralManagerIsReadyToUpdateSubscribers(PeripheralManager&) {
    resendSignals();
}

void BluetoothServer::resendSignals() {
    if (!characteristics_) {
        return;
    }
    const std::deque<Uuid> waiting = std::exchange(signalsToResend_, {});
    for (const Uuid& central : waiting) {
        if (sessions_.contains(central)) {
            notifyReplyReady(central);
        }
    }
}

void BluetoothServer::peripheralManagerCentralDidConnect(PeripheralManager&, const Uuid& central) {
    idleChecks_[central] = loop_.runAfter(idleCentralSeconds, TimerClock::uptime,
                                          [this, central] { dismissIfIdle(central); });
}

void BluetoothServer::dismissIfIdle(Uuid central) {
    // Drops the timer that calls this, so `central` is a copy.
    idleChecks_.erase(central);
    const auto found = sessions_.find(central);
    const auto& request = pairingRequest_.value();
    if ((found != sessions_.end() && found->second.isEstablished()) ||
        (request && request->id == central)) {
        return;
    }
    // A stranger that neither pairs nor is trusted only keeps a connection from others.
    manager_->cancelConnection(central);
}

const Session* BluetoothServer::session(const Uuid& central) const {
    const auto found = sessions_.find(central);
    return found == sessions_.end() ? nullptr : &found->second;
}

} // namespace tovali
