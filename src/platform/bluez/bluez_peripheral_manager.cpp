#include "platform/bluez/bluez_peripheral_manager.hpp"

#include <QDBusPendingCallWatcher>
#include <QTimer>
#include <QUuid>
#include <algorithm>
#include <array>
#include <span>
#include <utility>

namespace tovali {

using bluez::BluezMonitor;
using bluez::GattApplication;
using bluez::toQByteArray;

namespace {

// bluetoothd gives up on an answer after 5 s and tells the central "Unlikely Error"; a request
// still open after this long is answered so, before bluetoothd's deadline.
constexpr int answerDeadlineMs = 4000;

Uuid freshUuid() {
    const QByteArray bytes = QUuid::createUuid().toRfc4122();
    std::array<std::uint8_t, 16> raw{};
    std::copy_n(bytes.cbegin(), raw.size(), raw.begin());
    return Uuid(raw);
}

const char* stateName(PeripheralState state) {
    switch (state) {
    case PeripheralState::unknown:
        return "unknown";
    case PeripheralState::resetting:
        return "resetting";
    case PeripheralState::unsupported:
        return "unsupported";
    case PeripheralState::unauthorized:
        return "unauthorized";
    case PeripheralState::poweredOff:
        return "powered off";
    case PeripheralState::poweredOn:
        return "powered on";
    }
    return "unknown";
}

QString answerText(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ErrorMessage
               ? "refused: " + reply.errorName() + " " + reply.errorMessage()
               : QStringLiteral("done");
}

} // namespace

BluezPeripheralManager::BluezPeripheralManager(PeripheralDelegate& delegate, QDBusConnection bus)
    : delegate_(delegate), bus_(std::move(bus)), monitor_(bus_, *this),
      application_(bus_, *this, [this](const QString& caller) {
          return !monitor_.owner().isEmpty() && caller == monitor_.owner();
      }) {
    application_.exportObjects();
    monitor_.start();
}

BluezPeripheralManager::~BluezPeripheralManager() {
    unregisterAll();
}

// State

PeripheralState BluezPeripheralManager::currentState() const {
    switch (monitor_.presence()) {
    case BluezMonitor::Presence::waiting:
        return PeripheralState::unknown;
    case BluezMonitor::Presence::lost:
        return PeripheralState::resetting;
    case BluezMonitor::Presence::unavailable:
        return PeripheralState::unsupported;
    case BluezMonitor::Presence::denied:
        return PeripheralState::unauthorized;
    case BluezMonitor::Presence::present:
        break;
    }
    const BluezMonitor::Adapter* adapter = monitor_.adapter();
    if (adapter == nullptr || !adapter->supportsPeripheral()) {
        return monitor_.expectingAdapter() ? PeripheralState::resetting
                                           : PeripheralState::unsupported;
    }
    return adapter->powered ? PeripheralState::poweredOn : PeripheralState::poweredOff;
}

void BluezPeripheralManager::refreshState() {
    const PeripheralState state = currentState();
    if (state == state_)
        return;
    state_ = state;
    trace(QStringLiteral("Bluetooth %1").arg(stateName(state)));
    delegate_.peripheralManagerDidUpdateState(*this);
}

bool BluezPeripheralManager::isAdvertising() const {
    const BluezMonitor::Adapter* adapter = monitor_.adapter();
    return advertisingPhase_ == Phase::registered && adapter != nullptr && adapter->powered;
}

void BluezPeripheralManager::bluezChanged() {
    const auto adapter = monitor_.adapterPath();
    const bool present = monitor_.presence() == BluezMonitor::Presence::present;
    const bool usable = present && adapter && monitor_.adapter()->supportsPeripheral();
    if (!registeredOn_.isEmpty() && (!usable || *adapter != registeredOn_)) {
        // bluetoothd drops an adapter's registrations with it, and all of them when it exits;
        // on an adapter that stays, ours would stand beside the new ones.
        if (present && monitor_.hasAdapter(registeredOn_))
            unregisterAll();
        trace("registrations on " + registeredOn_ + " gone with the adapter or bluetoothd");
        forgetRegistrations();
    }
    // At power off the kernel deletes the advertisement and bluetoothd does not notice: it
    // stays registered, but never goes on the air again unless registered anew.
    const bool powered = usable && monitor_.adapter()->powered;
    const unsigned powerOns = usable ? monitor_.adapter()->powerOns : 0;
    if (powered && (!wasPowered_ || powerOns != powerOnsSeen_) &&
        advertisingPhase_ == Phase::registered)
        withdrawAdvertisement();
    wasPowered_ = powered;
    powerOnsSeen_ = powerOns;
    reconcile();
    refreshState();
}

// Registrations

void BluezPeripheralManager::addService(const ServiceDefinition& service) {
    serviceAnswerOwed_ = true;
    if (servicePhase_ == Phase::registered && service_ == service) {
        serviceAnswerOwed_ = false;
        post([this, uuid = service.uuid] {
            delegate_.peripheralManagerDidAddService(*this, uuid, std::nullopt);
        });
        return;
    }
    if (servicePhase_ == Phase::registered) {
        unregister(QStringLiteral("UnregisterApplication"), GattApplication::applicationPath);
        servicePhase_ = Phase::none;
    }
    service_ = service;
    application_.setService(service);
    reconcile();
}

void BluezPeripheralManager::startAdvertising(const AdvertisementData& data) {
    advertisingAnswerOwed_ = true;
    // Ours still stands, and bluetoothd would refuse a second; power-ons renew it themselves.
    if (advertisingPhase_ == Phase::registered && advertised_ == data) {
        advertisingAnswerOwed_ = false;
        post([this] { delegate_.peripheralManagerDidStartAdvertising(*this, std::nullopt); });
        return;
    }
    advertisement_ = data;
    reconcile();
}

void BluezPeripheralManager::reconcile() {
    const BluezMonitor::Adapter* adapter = monitor_.adapter();
    if (monitor_.presence() != BluezMonitor::Presence::present || adapter == nullptr ||
        !adapter->supportsPeripheral())
        return;
    if (advertisingPhase_ == Phase::registered && advertised_ != advertisement_)
        withdrawAdvertisement();
    if (service_ && servicePhase_ == Phase::none)
        registerApplication();
    // Nothing is advertised that a central could not use yet.
    const bool serviceReady = !service_ || servicePhase_ == Phase::registered;
    if (advertisement_ && advertisingPhase_ == Phase::none && serviceReady)
        registerAdvertisement();
}

void BluezPeripheralManager::registerApplication() {
    servicePhase_ = Phase::registering;
    registeredOn_ = *monitor_.adapterPath();
    trace("registering the service on " + registeredOn_);
    callBluez(QStringLiteral("RegisterApplication"), GattApplication::applicationPath,
              [this](const QDBusMessage& reply) {
                  trace("registering the service: " + answerText(reply));
                  const Uuid uuid = service_ ? service_->uuid : Uuid{};
                  // bluetoothd still holds our application: it is the one we meant to add.
                  if (reply.type() != QDBusMessage::ErrorMessage ||
                      reply.errorName() == bluez::alreadyExistsError) {
                      servicePhase_ = Phase::registered;
                      reconcile();
                      if (std::exchange(serviceAnswerOwed_, false))
                          delegate_.peripheralManagerDidAddService(*this, uuid, std::nullopt);
                      return;
                  }
                  servicePhase_ = Phase::none;
                  if (reply.errorName() == bluez::accessDeniedError) {
                      monitor_.accessDenied();
                      return;
                  }
                  // Reported even when bluetoothd came back and we registered on our own, so
                  // that the failure shows and the next power-on tries again. Nothing is
                  // advertised that could not be used, and no success hides the failure.
                  service_.reset();
                  serviceAnswerOwed_ = false;
                  advertisement_.reset();
                  advertisingAnswerOwed_ = false;
                  delegate_.peripheralManagerDidAddService(
                      *this, uuid, PeripheralError{reply.errorMessage().toStdString()});
              });
}

void BluezPeripheralManager::registerAdvertisement() {
    advertisingPhase_ = Phase::registering;
    registeredOn_ = *monitor_.adapterPath();
    application_.setAdvertisement(*advertisement_);
    trace("registering the advertisement on " + registeredOn_);
    callBluez(QStringLiteral("RegisterAdvertisement"), GattApplication::advertisementPath,
              [this, data = *advertisement_](const QDBusMessage& reply) {
                  trace("registering the advertisement: " + answerText(reply));
                  if (reply.type() != QDBusMessage::ErrorMessage ||
                      reply.errorName() == bluez::alreadyExistsError) {
                      advertisingPhase_ = Phase::registered;
                      advertised_ = data;
                      reconcile();
                      if (std::exchange(advertisingAnswerOwed_, false))
                          delegate_.peripheralManagerDidStartAdvertising(*this, std::nullopt);
                      return;
                  }
                  advertisingPhase_ = Phase::none;
                  if (reply.errorName() == bluez::accessDeniedError) {
                      monitor_.accessDenied();
                      return;
                  }
                  advertisement_.reset();
                  advertisingAnswerOwed_ = false;
                  delegate_.peripheralManagerDidStartAdvertising(
                      *this, PeripheralError{reply.errorMessage().toStdString()});
              });
}

void BluezPeripheralManager::advertisementReleased() {
    // bluetoothd releases it when the adapter goes; the adapter's return registers it again.
    trace(QStringLiteral("bluetoothd released the advertisement"));
    advertisingPhase_ = Phase::none;
}

void BluezPeripheralManager::withdrawAdvertisement() {
    trace(QStringLiteral("withdrawing the advertisement"));
    unregister(QStringLiteral("UnregisterAdvertisement"), GattApplication::advertisementPath);
    advertisingPhase_ = Phase::none;
}

void BluezPeripheralManager::unregisterAll() {
    if (advertisingPhase_ != Phase::none)
        unregister(QStringLiteral("UnregisterAdvertisement"), GattApplication::advertisementPath);
    if (servicePhase_ != Phase::none)
        unregister(QStringLiteral("UnregisterApplication"), GattApplication::applicationPath);
}

void BluezPeripheralManager::forgetRegistrations() {
    ++registrations_;
    servicePhase_ = Phase::none;
    advertisingPhase_ = Phase::none;
    registeredOn_.clear();
}

QDBusMessage BluezPeripheralManager::managerCall(const QString& method, const QString& path) const {
    const QString& manager = path == GattApplication::applicationPath
                                 ? bluez::gattManagerInterface
                                 : bluez::advertisingManagerInterface;
    auto call = QDBusMessage::createMethodCall(bluez::busName, registeredOn_, manager, method);
    call << QVariant::fromValue(QDBusObjectPath(path));
    return call;
}

void BluezPeripheralManager::unregister(const QString& method, const QString& path) {
    bus_.send(managerCall(method, path));
}

void BluezPeripheralManager::callBluez(const QString& method, const QString& path,
                                       std::function<void(const QDBusMessage&)> answered) {
    auto call = managerCall(method, path);
    call << QVariantMap();
    // bluetoothd reads our objects before it answers, so the answer must not be waited for.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, generation = registrations_, answered = std::move(answered)] {
                watcher->deleteLater();
                if (generation == registrations_)
                    answered(watcher->reply());
            });
}

// Centrals and requests

void BluezPeripheralManager::deviceConnectionChanged(const QString& device, bool connected) {
    trace(device + (connected ? " connected" : " disconnected"));
    if (connected) {
        // Links through other adapters, or the computer's own to its devices there, are none of
        // ours.
        if (registeredOn_.isEmpty() || !device.startsWith(registeredOn_ + '/'))
            return;
        centralFor(device);
        // The controller ends the advertising set a central connects through, and the kernel
        // brings it back only when that link goes down: a new one keeps us visible to others.
        if (advertisingPhase_ == Phase::registered) {
            withdrawAdvertisement();
            reconcile();
        }
        return;
    }
    const auto found = centrals_.find(device);
    if (found == centrals_.end())
        return;
    const Uuid central = found.value();
    centrals_.erase(found);
    // bluetoothd tells of no single unsubscription, so a departure is the only one we hear of.
    Uuid signal;
    if (service_) {
        const auto notifying = std::ranges::find_if(service_->characteristics, [](const auto& c) {
            return (c.properties & characteristic_property::notify) != 0;
        });
        if (notifying != service_->characteristics.end())
            signal = notifying->uuid;
    }
    delegate_.peripheralManagerCentralDidUnsubscribe(*this, central, signal);
}

Uuid BluezPeripheralManager::centralFor(const QString& device) {
    const auto found = centrals_.constFind(device);
    if (found != centrals_.cend())
        return found.value();
    // Each connection gets its own identifier: a watch that comes back starts afresh.
    const Uuid central = freshUuid();
    centrals_.insert(device, central);
    delegate_.peripheralManagerCentralDidConnect(*this, central);
    return central;
}

void BluezPeripheralManager::readValue(const QDBusMessage& call,
                                       const CharacteristicDefinition& target,
                                       const QString& device, std::uint16_t offset) {
    const AttRequest request{nextToken_++, target.uuid, centralFor(device), offset, std::nullopt};
    awaitAnswer(request.token, call);
    delegate_.peripheralManagerDidReceiveReadRequest(*this, request);
}

void BluezPeripheralManager::writeValue(const QDBusMessage& call,
                                        const CharacteristicDefinition& target,
                                        const QString& device, std::uint16_t offset,
                                        const QByteArray& value) {
    // bluetoothd has already joined a long write, so each call is a batch of one.
    const AttRequest request{nextToken_++, target.uuid, centralFor(device), offset,
                             Bytes(value.cbegin(), value.cend())};
    const bool answeredByServer = (target.properties & characteristic_property::write) != 0;
    if (call.isReplyRequired() && answeredByServer)
        awaitAnswer(request.token, call);
    delegate_.peripheralManagerDidReceiveWriteRequests(*this, std::span(&request, 1));
    // bluetoothd expects no answer to a write without response; another caller still gets one.
    if (call.isReplyRequired() && !answeredByServer)
        bus_.send(call.createReply());
}

void BluezPeripheralManager::awaitAnswer(std::uint64_t token, const QDBusMessage& call) {
    pending_.emplace(token, call);
    QTimer::singleShot(answerDeadlineMs, this, [this, token] {
        const auto found = pending_.find(token);
        if (found == pending_.end())
            return;
        // A numeric text outside the application range maps to "Unlikely Error".
        bus_.send(found->second.createErrorReply(bluez::failedError, QStringLiteral("0x0e")));
        pending_.erase(found);
    });
}

void BluezPeripheralManager::respondToRequest(const AttRequest& request, AttResult result) {
    const auto found = pending_.find(request.token);
    if (found == pending_.end())
        return;
    const QDBusMessage call = found->second;
    pending_.erase(found);
    switch (result) {
    case AttResult::success:
        if (call.member() == QStringLiteral("ReadValue"))
            bus_.send(call.createReply(toQByteArray(request.value.value_or(Bytes{}))));
        else
            bus_.send(call.createReply());
        return;
    case AttResult::readNotPermitted:
        bus_.send(call.createErrorReply(bluez::notPermittedError, QStringLiteral("Not permitted")));
        return;
    case AttResult::invalidOffset:
        bus_.send(
            call.createErrorReply(bluez::invalidOffsetError, QStringLiteral("Invalid offset")));
        return;
    }
    bus_.send(call.createErrorReply(bluez::failedError, QStringLiteral("0x0e")));
}

bool BluezPeripheralManager::updateValue(ByteView value, const Uuid& characteristic, const Uuid&) {
    // BlueZ 5.66 cannot aim a notification: every central subscribed to the characteristic
    // gets it. Another subscribed watch then reads its own reply, unchanged, and goes on. Nor
    // does it report a full queue, so the answer is always "queued". A central that
    // unsubscribes but stays connected cannot be told apart from one that listens; its session
    // ends when it disconnects.
    application_.sendValue(characteristic, toQByteArray(value));
    return true;
}

void BluezPeripheralManager::setDesiredConnectionLatency(ConnectionLatency, const Uuid&) {
    // bluetoothd has no call for it: the connection interval is the administrator's, through
    // [LE] MinConnectionInterval and MaxConnectionInterval in its main.conf.
}

void BluezPeripheralManager::cancelConnection(const Uuid& central) {
    const auto found = std::find(centrals_.cbegin(), centrals_.cend(), central);
    // A device paired in the system's settings is the user's own keyboard or headphones, not
    // a stranger, even when it never speaks to our service.
    if (found == centrals_.cend() || monitor_.isPaired(found.key()))
        return;
    // The departure comes back as Connected = false, like any other.
    bus_.send(QDBusMessage::createMethodCall(bluez::busName, found.key(), bluez::deviceInterface,
                                             QStringLiteral("Disconnect")));
}

void BluezPeripheralManager::post(std::function<void()> call) {
    QTimer::singleShot(0, this, std::move(call));
}

void BluezPeripheralManager::trace(const QString& line) const {
    if (trace_ != nullptr)
        trace_->write(line.toStdString());
}

} // namespace tovali
