#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/uuid.hpp"

namespace tovali {

/// The radio as the peripheral role sees it, numbered as the platform numbers it. An adapter may
/// report a value outside this list; it means "not ready".
enum class PeripheralState : int {
    unknown = 0,
    resetting = 1,
    unsupported = 2,
    unauthorized = 3,
    poweredOff = 4,
    poweredOn = 5,
};

/// Characteristic property bits, as on the air.
namespace characteristic_property {
inline constexpr std::uint8_t read = 0x02;
inline constexpr std::uint8_t writeWithoutResponse = 0x04;
inline constexpr std::uint8_t write = 0x08;
inline constexpr std::uint8_t notify = 0x10;
} // namespace characteristic_property

/// Attribute permission bits.
namespace attribute_permission {
inline constexpr std::uint8_t readable = 0x01;
inline constexpr std::uint8_t writeable = 0x02;
} // namespace attribute_permission

/// A characteristic without a value of its own: every read and write goes to the delegate.
struct CharacteristicDefinition {
    Uuid uuid;
    std::uint8_t properties = 0;
    std::uint8_t permissions = 0;
    friend bool operator==(const CharacteristicDefinition&,
                           const CharacteristicDefinition&) = default;
};

struct ServiceDefinition {
    Uuid uuid;
    bool primary = true;
    std::vector<CharacteristicDefinition> characteristics;
    friend bool operator==(const ServiceDefinition&, const ServiceDefinition&) = default;
};

struct AdvertisementData {
    std::vector<Uuid> serviceUuids;
    std::string localName;
    friend bool operator==(const AdvertisementData&, const AdvertisementData&) = default;
};

/// The answer to an attribute request.
enum class AttResult : std::uint8_t {
    success = 0,
    readNotPermitted = 2,
    invalidOffset = 7,
};

enum class ConnectionLatency : std::uint8_t { low = 0, medium = 1, high = 2 };

/// One read or write by a central. `token` is the adapter's own: it tells which request an
/// answer belongs to. A read is answered with the `value` set on it.
struct AttRequest {
    std::uint64_t token = 0;
    Uuid characteristic;
    /// Stable for the connection; keys the server's sessions.
    Uuid central;
    std::size_t offset = 0;
    std::optional<Bytes> value;
};

/// A failure the platform reports in words the user can read.
struct PeripheralError {
    std::string localizedDescription;
};

class PeripheralManager;

/// What the peripheral role reports. Every call arrives on the main loop, never from inside a
/// call to the manager, so a handler may call the manager freely.
class PeripheralDelegate {
public:
    virtual ~PeripheralDelegate() = default;

    virtual void peripheralManagerDidUpdateState(PeripheralManager& manager) = 0;
    virtual void peripheralManagerDidAddService(PeripheralManager& manager, const Uuid& service,
                                                const std::optional<PeripheralError>& error) = 0;
    virtual void
    peripheralManagerDidStartAdvertising(PeripheralManager& manager,
                                         const std::optional<PeripheralError>& error) = 0;
    /// One batch of writes; a batch with a write that expects a response is answered once.
    virtual void peripheralManagerDidReceiveWriteRequests(PeripheralManager& manager,
                                                          std::span<const AttRequest> requests) = 0;
    virtual void peripheralManagerDidReceiveReadRequest(PeripheralManager& manager,
                                                        const AttRequest& request) = 0;
    virtual void peripheralManagerCentralDidUnsubscribe(PeripheralManager& manager,
                                                        const Uuid& central,
                                                        const Uuid& characteristic) = 0;
    /// Room in the transmit queue again, after `updateValue` answered false.
    virtual void peripheralManagerIsReadyToUpdateSubscribers(PeripheralManager& manager) = 0;
    /// A central connected; its identifier is the one its requests will carry.
    virtual void peripheralManagerCentralDidConnect(PeripheralManager& manager,
                                                    const Uuid& central) = 0;
};

/// The computer's Bluetooth LE peripheral role: one service, advertised, and the requests of the
/// centrals that connect to it.
class PeripheralManager {
public:
    virtual ~PeripheralManager() = default;

    virtual PeripheralState state() const = 0;
    virtual bool isAdvertising() const = 0;

    /// Answered later through `peripheralManagerDidAddService`.
    virtual void addService(const ServiceDefinition& service) = 0;
    /// Answered later through `peripheralManagerDidStartAdvertising`.
    virtual void startAdvertising(const AdvertisementData& data) = 0;
    /// Notifies one central. False when the transmit queue is full; the delegate then hears
    /// `peripheralManagerIsReadyToUpdateSubscribers` once there is room.
    virtual bool updateValue(ByteView value, const Uuid& characteristic, const Uuid& central) = 0;
    virtual void respondToRequest(const AttRequest& request, AttResult result) = 0;
    virtual void setDesiredConnectionLatency(ConnectionLatency latency, const Uuid& central) = 0;
    /// Ends the central's connection; its departure is reported as for any other. A central
    /// that has gone already is ignored.
    virtual void cancelConnection(const Uuid& central) = 0;
};

} // namespace tovali
