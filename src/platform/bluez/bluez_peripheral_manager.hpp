#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMap>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>

#include "platform/bluez/bluez_monitor.hpp"
#include "platform/bluez/gatt_application.hpp"
#include "platform/peripheral_manager.hpp"
#include "platform/system_log.hpp"

namespace tovali {

/// The peripheral role through bluetoothd (BlueZ 5.66 and later) on the system bus, without
/// root: an external GATT application and an advertisement, registered again whenever
/// bluetoothd or its adapter comes back, since bluetoothd then forgets them without a word.
/// Everything runs on the Qt event loop of the thread that made it.
class BluezPeripheralManager final : public QObject,
                                     public PeripheralManager,
                                     private bluez::BluezMonitor::Listener,
                                     private bluez::GattApplication::Handler {
public:
    explicit BluezPeripheralManager(PeripheralDelegate& delegate,
                                    QDBusConnection bus = QDBusConnection::systemBus());
    ~BluezPeripheralManager() override;

    PeripheralState state() const override { return state_; }
    /// While our advertisement is registered and the adapter is powered: bluetoothd shows no
    /// more than that of what is on the air.
    bool isAdvertising() const override;
    void addService(const ServiceDefinition& service) override;
    void startAdvertising(const AdvertisementData& data) override;
    bool updateValue(ByteView value, const Uuid& characteristic, const Uuid& central) override;
    void respondToRequest(const AttRequest& request, AttResult result) override;
    void setDesiredConnectionLatency(ConnectionLatency latency, const Uuid& central) override;
    void cancelConnection(const Uuid& central) override;

    /// Where a line goes for each registration, connection and state change; none by default.
    /// Values that pass are never written.
    void setTrace(SystemLog* trace) { trace_ = trace; }
    /// bluetoothd and the adapter in use, as last seen.
    const bluez::BluezMonitor& monitor() const { return monitor_; }

private:
    enum class Phase { none, registering, registered };

    void bluezChanged() override;
    void deviceConnectionChanged(const QString& device, bool connected) override;
    void readValue(const QDBusMessage& call, const CharacteristicDefinition& target,
                   const QString& device, std::uint16_t offset) override;
    void writeValue(const QDBusMessage& call, const CharacteristicDefinition& target,
                    const QString& device, std::uint16_t offset, const QByteArray& value) override;
    void advertisementReleased() override;

    PeripheralState currentState() const;
    void refreshState();
    /// Registers what is wanted and not yet registered, once bluetoothd can take it.
    void reconcile();
    void registerApplication();
    void registerAdvertisement();
    /// A call to the adapter's manager of the object at `path`, naming that object.
    QDBusMessage managerCall(const QString& method, const QString& path) const;
    void unregister(const QString& method, const QString& path);
    /// Withdraws our standing advertisement; the next reconcile() registers it anew.
    void withdrawAdvertisement();
    /// Withdraws what stands or is being registered on the adapter we registered on.
    void unregisterAll();
    void forgetRegistrations();
    void callBluez(const QString& method, const QString& path,
                   std::function<void(const QDBusMessage&)> answered);
    Uuid centralFor(const QString& device);
    void awaitAnswer(std::uint64_t token, const QDBusMessage& call);
    /// For answers that would otherwise reach the delegate from inside a call to us.
    void post(std::function<void()> call);
    void trace(const QString& line) const;

    PeripheralDelegate& delegate_;
    QDBusConnection bus_;
    bluez::BluezMonitor monitor_;
    bluez::GattApplication application_;
    PeripheralState state_ = PeripheralState::unknown;

    std::optional<ServiceDefinition> service_;
    Phase servicePhase_ = Phase::none;
    bool serviceAnswerOwed_ = false;
    std::optional<AdvertisementData> advertisement_;
    std::optional<AdvertisementData> advertised_;
    Phase advertisingPhase_ = Phase::none;
    bool advertisingAnswerOwed_ = false;
    /// The adapter our registrations live on.
    QString registeredOn_;
    /// Whether that adapter was powered when bluetoothd last told us anything.
    bool wasPowered_ = false;
    unsigned powerOnsSeen_ = 0;
    /// Tells a registration answer that bluetoothd has since forgotten from a current one.
    int registrations_ = 0;

    /// Device object path to the identifier of its current connection.
    QMap<QString, Uuid> centrals_;
    std::unordered_map<std::uint64_t, QDBusMessage> pending_;
    std::uint64_t nextToken_ = 1;
    SystemLog* trace_ = nullptr;
};

} // namespace tovali
