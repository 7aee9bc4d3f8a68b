#include "support/memory_peripheral.hpp"

#include <algorithm>
#include <array>

namespace tovali::test {

void MemoryPeripheral::addService(const ServiceDefinition& service) {
    addedServices.push_back(service);
    ++pendingAdditions_;
}

void MemoryPeripheral::startAdvertising(const AdvertisementData& data) {
    advertisingRequests.push_back(data);
    ++pendingAdvertising_;
}

bool MemoryPeripheral::updateValue(ByteView value, const Uuid& characteristic,
                                   const Uuid& central) {
    notifications.push_back({toBytes(value), characteristic, central});
    if (queued_ >= queueCapacity) {
        refusedSinceReady_ = true;
        return false;
    }
    ++queued_;
    return true;
}

void MemoryPeripheral::setState(PeripheralState state) {
    state_ = state;
    advertising_ = advertising_ && state == PeripheralState::poweredOn;
    delegate_.peripheralManagerDidUpdateState(*this);
}

void MemoryPeripheral::answerAddService(std::optional<std::string> error) {
    --pendingAdditions_;
    delegate_.peripheralManagerDidAddService(*this, addedServices.back().uuid,
                                             error ? std::optional(PeripheralError{*error})
                                                   : std::nullopt);
}

void MemoryPeripheral::answerAdvertising(std::optional<std::string> error) {
    --pendingAdvertising_;
    advertising_ = advertising_ || !error;
    delegate_.peripheralManagerDidStartAdvertising(
        *this, error ? std::optional(PeripheralError{*error}) : std::nullopt);
}

void MemoryPeripheral::powerOnAndAdvertise() {
    setState(PeripheralState::poweredOn);
    while (pendingAdditions_ > 0 || pendingAdvertising_ > 0) {
        if (pendingAdditions_ > 0)
            answerAddService();
        else
            answerAdvertising();
    }
}

void MemoryPeripheral::drainQueue() {
    queued_ = 0;
    if (std::exchange(refusedSinceReady_, false))
        delegate_.peripheralManagerIsReadyToUpdateSubscribers(*this);
}

Uuid MemoryPeripheral::connectCentral() {
    std::array<std::uint8_t, 16> bytes{0xCE, 0x27, 0xA1};
    ++centrals_;
    for (std::size_t i = 0; i < 4; ++i)
        bytes[15 - i] = static_cast<std::uint8_t>(centrals_ >> (8 * i));
    delegate_.peripheralManagerCentralDidConnect(*this, Uuid(bytes));
    return Uuid(bytes);
}

std::uint64_t MemoryPeripheral::write(const Uuid& central, const Uuid& characteristic,
                                      std::optional<Bytes> value, std::size_t offset) {
    return writeBatch({{.characteristic = characteristic,
                        .central = central,
                        .offset = offset,
                        .value = std::move(value)}})
        .front();
}

std::vector<std::uint64_t> MemoryPeripheral::writeBatch(std::vector<AttRequest> requests) {
    std::vector<std::uint64_t> tokens;
    for (AttRequest& request : requests) {
        if (request.token == 0)
            request.token = nextToken_++;
        tokens.push_back(request.token);
    }
    delegate_.peripheralManagerDidReceiveWriteRequests(*this, requests);
    return tokens;
}

const MemoryPeripheral::Response* MemoryPeripheral::find(std::uint64_t token) const {
    const auto found =
        std::ranges::find(responses, token, [](const auto& r) { return r.request.token; });
    return found == responses.end() ? nullptr : &*found;
}

std::optional<AttResult> MemoryPeripheral::responseTo(std::uint64_t token) const {
    const auto* found = find(token);
    return found ? std::optional(found->result) : std::nullopt;
}

MemoryPeripheral::ReadResult MemoryPeripheral::read(const Uuid& central, const Uuid& characteristic,
                                                    std::size_t offset) {
    const std::uint64_t token = nextToken_++;
    delegate_.peripheralManagerDidReceiveReadRequest(
        *this, {token, characteristic, central, offset, std::nullopt});
    const auto* found = find(token);
    return found ? ReadResult{found->result, found->request.value.value_or(Bytes{})} : ReadResult{};
}

std::optional<Bytes> MemoryPeripheral::readLong(const Uuid& central, const Uuid& characteristic,
                                                std::size_t chunk) {
    Bytes joined;
    while (true) {
        ReadResult piece = read(central, characteristic, joined.size());
        if (piece.result != AttResult::success)
            return std::nullopt;
        // The stack sends no more than fits one response, whatever the server set.
        const std::size_t taken = std::min(piece.value.size(), chunk);
        joined.insert(joined.end(), piece.value.begin(),
                      piece.value.begin() + static_cast<std::ptrdiff_t>(taken));
        if (taken < chunk)
            return joined;
    }
}

} // namespace tovali::test
