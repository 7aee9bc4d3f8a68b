#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/uuid.hpp"
#include "link/wire_messages.hpp"
#include "platform/peripheral_manager.hpp"

namespace tovali::test {

/// The peripheral role in memory. Records what the server asks of it; a test plays the radio and
/// any number of centrals, and every answer reaches the delegate only when the test says so.
class MemoryPeripheral : public PeripheralManager {
public:
    struct Notification {
        Bytes value;
        Uuid characteristic;
        Uuid central;
        /// False when the transmit queue was full and the value was refused.
        bool queued = false;
    };
    struct Response {
        AttRequest request;
        AttResult result = AttResult::success;
    };
    struct LatencyRequest {
        ConnectionLatency latency = ConnectionLatency::low;
        Uuid central;
    };
    struct ReadResult {
        /// None when the server never answered the read.
        std::optional<AttResult> result;
        Bytes value;
    };

    explicit MemoryPeripheral(PeripheralDelegate& delegate) : delegate_(delegate) {}

    PeripheralState state() const override { return state_; }
    bool isAdvertising() const override { return advertising_; }
    void addService(const ServiceDefinition& service) override;
    void startAdvertising(const AdvertisementData& data) override;
    bool updateValue(ByteView value, const Uuid& characteristic, const Uuid& central) override;
    void respondToRequest(const AttRequest& request, AttResult result) override;
    void setDesiredConnectionLatency(ConnectionLatency latency, const Uuid& central) override;
    void cancelConnection(const Uuid& central) override { cancelledConnections.push_back(central); }

    // The radio.
    void setState(PeripheralState state);
    /// Answers the oldest pending addition; success unless given an error.
    void answerAddService(std::optional<std::string> errorDescription = {});
    /// Answers the oldest pending advertising start; success unless given an error.
    void answerAdvertising(std::optional<std::string> errorDescription = {});
    std::size_t pendingAdditions() const { return pendingServices_.size(); }
    std::size_t pendingAdvertising() const { return pendingAdvertising_; }
    /// Powers on and lets every addition and advertising start that follows succeed.
    void powerOnAndAdvertise();
    /// The queued notifications go out; a refused sender hears that there is room again.
    void drainQueue();
    std::size_t queuedNotifications() const { return queued_; }

    // Centrals.
    /// A new central connects, and the delegate hears of it.
    Uuid connectCentral();
    /// One write as a batch of its own; answers its token.
    std::uint64_t write(const Uuid& central, const Uuid& characteristic, std::optional<Bytes> value,
                        std::size_t offset = 0);
    /// Delivers the batch as given, with a fresh token for each request that has none.
    std::vector<std::uint64_t> writeBatch(std::vector<AttRequest> requests);
    /// The server's first answer to the request with this token.
    std::optional<AttResult> responseTo(std::uint64_t token) const;
    ReadResult read(const Uuid& central, const Uuid& characteristic, std::size_t offset = 0);
    /// A long read as a central with the default MTU does it: each read returns at most `chunk`
    /// bytes, and a shorter one ends it. None when any read fails or goes unanswered.
    std::optional<Bytes> readLong(const Uuid& central, const Uuid& characteristic,
                                  std::size_t chunk = 22);
    void unsubscribe(const Uuid& central, const Uuid& characteristic = gatt::signal);
    std::vector<Notification> notificationsTo(const Uuid& central) const;

    std::vector<ServiceDefinition> addedServices;
    std::vector<AdvertisementData> advertisingRequests;
    std::vector<Notification> notifications;
    std::vector<Response> responses;
    std::vector<LatencyRequest> latencyRequests;
    /// The centrals the server disconnected, in order.
    std::vector<Uuid> cancelledConnections;
    /// Notifications that may wait in the transmit queue before updateValue refuses.
    std::size_t queueCapacity = std::numeric_limits<std::size_t>::max();
    /// Some stacks keep advertising through a power cycle; by default it stops.
    bool keepsAdvertisingWhenOff = false;

private:
    PeripheralDelegate& delegate_;
    PeripheralState state_ = PeripheralState::unknown;
    bool advertising_ = false;
    std::deque<Uuid> pendingServices_;
    std::size_t pendingAdvertising_ = 0;
    std::size_t queued_ = 0;
    bool refusedSinceReady_ = false;
    std::uint64_t nextToken_ = 1;
    std::vector<Uuid> centrals_;
};

} // namespace tovali::test
