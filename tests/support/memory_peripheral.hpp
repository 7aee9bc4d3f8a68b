#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
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
    };
    struct Response {
        AttRequest request;
        AttResult result = AttResult::success;
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
    void respondToRequest(const AttRequest& request, AttResult result) override {
        responses.push_back({request, result});
    }
    void setDesiredConnectionLatency(ConnectionLatency latency, const Uuid& central) override {
        latencyRequests.emplace_back(latency, central);
    }
    void cancelConnection(const Uuid& central) override { cancelledConnections.push_back(central); }

    // The radio.
    void setState(PeripheralState state);
    /// Answers the oldest pending addition; success unless given an error.
    void answerAddService(std::optional<std::string> error = {});
    /// Answers the oldest pending advertising start; success unless given an error.
    void answerAdvertising(std::optional<std::string> error = {});
    std::size_t pendingAdditions() const { return pendingAdditions_; }
    std::size_t pendingAdvertising() const { return pendingAdvertising_; }
    /// Powers on and lets every addition and advertising start that follows succeed.
    void powerOnAndAdvertise();
    /// The queued notifications go out; a refused sender hears that there is room again.
    void drainQueue();

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
    void unsubscribe(const Uuid& central, const Uuid& characteristic = gatt::signal) {
        delegate_.peripheralManagerCentralDidUnsubscribe(*this, central, characteristic);
    }

    std::vector<ServiceDefinition> addedServices;
    std::vector<AdvertisementData> advertisingRequests;
    /// Also those refused because the transmit queue was full.
    std::vector<Notification> notifications;
    std::vector<Response> responses;
    std::vector<std::pair<ConnectionLatency, Uuid>> latencyRequests;
    /// The centrals the server disconnected, in order.
    std::vector<Uuid> cancelledConnections;
    /// Notifications that may wait in the transmit queue before updateValue refuses.
    std::size_t queueCapacity = std::numeric_limits<std::size_t>::max();

private:
    const Response* find(std::uint64_t token) const;

    PeripheralDelegate& delegate_;
    PeripheralState state_ = PeripheralState::unknown;
    bool advertising_ = false;
    std::size_t pendingAdditions_ = 0;
    std::size_t pendingAdvertising_ = 0;
    std::size_t queued_ = 0;
    bool refusedSinceReady_ = false;
    std::uint64_t nextToken_ = 1;
    std::uint32_t centrals_ = 0;
};

} // namespace tovali::test
