#include "support/memory_peripheral.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "link/crypto.hpp"

namespace tovali::test {

namespace {

std::optional<PeripheralError> errorFrom(std::optional<std::string> description) {
    if (!description)
        return std::nullopt;
    return PeripheralError{std::move(*description)};
}

} // namespace

void MemoryPeripheral::addService(const ServiceDefinition& service) {
    addedServices.push_back(service);
    pendingServices_.push_back(service.uuid);
}

void MemoryPeripheral::startAdvertising(const AdvertisementData& data) {
    advertisingRequests.push_back(data);
    ++pendingAdvertising_;
}

bool MemoryPeripheral::updateValue(ByteView value, const Uuid& characteristic,
                                   const Uuid& central) {
    const bool fits = queued_ < queueCapacity;
    notifications.push_back({toBytes(value), characteristic, central, fits});
    if (!fits) {
        refusedSinceReady_ = true;
        return false;
    }
    ++queued_;
    return true;
}

void MemoryPeripheral::respondToRequest(const AttRequest& request, AttResult result) {
    responses.push_back({request, result});
}

void MemoryPeripheral::setDesiredConnectionLatency(ConnectionLatency latency, const Uuid& central) {
    latencyRequests.push_back({latency, central});
}

void MemoryPeripheral::setState(PeripheralState state) {
    state_ = state;
    if (state != PeripheralState::poweredOn && !keepsAdvertisingWhenOff)
        advertising_ = false;
    delegate_.peripheralManagerDidUpdateState(*this);
}

void MemoryPeripheral::answerAddService(std::optional<std::string> errorDescription) {
    // Answering what was never asked is a broken test, not a case to handle.
    if (pendingServices_.empty())
        throw std::logic_error("no service addition is pending");
    const Uuid service = pendingServices_.front();
    pendingServices_.pop_front();
    delegate_.peripheralManagerDidAddService(*this, service,
                                             errorFrom(std::move(errorDescription)));
}

void MemoryPeripheral::answerAdvertising(std::optional<std::string> errorDescription) {
    if (pendingAdvertising_ == 0)
        throw std::logic_error("no advertising start is pending");
    --pendingAdvertising_;
    if (!errorDescription)
        advertising_ = true;
    delegate_.peripheralManagerDidStartAdvertising(*this, errorFrom(std::move(errorDescription)));
}

void MemoryPeripheral::powerOnAndAdvertise() {
    setState(PeripheralState::poweredOn);
    // A server that asks again after every success would loop forever here.
    for (int round = 0; pendingAdditions() > 0 || pendingAdvertising() > 0; ++round) {
        if (round == 100)
            throw std::logic_error("the server keeps asking to add services or advertise");
        if (pendingAdditions() > 0)
            answerAddService();
        else
            answerAdvertising();
    }
}

void MemoryPeripheral::drainQueue() {
    queued_ = 0;
    if (refusedSinceReady_) {
        refusedSinceReady_ = false;
        delegate_.peripheralManagerIsReadyToUpdateSubscribers(*this);
    }
}

Uuid MemoryPeripheral::connectCentral() {
    std::array<std::uint8_t, 16> bytes{};
    do {
        crypto::randomBytes(bytes);
        bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
        bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    } while (std::find(centrals_.begin(), centrals_.end(), Uuid(bytes)) != centrals_.end());
    centrals_.emplace_back(bytes);
    const Uuid central = centrals_.back();
    delegate_.peripheralManagerCentralDidConnect(*this, central);
    return central;
}

std::uint64_t MemoryPeripheral::write(const Uuid& central, const Uuid& characteristic,
                                      std::optional<Bytes> value, std::size_t offset) {
    AttRequest request;
    request.characteristic = characteristic;
    request.central = central;
    request.offset = offset;
    request.value = std::move(value);
    return writeBatch({std::move(request)}).front();
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

std::optional<AttResult> MemoryPeripheral::responseTo(std::uint64_t token) const {
    for (const Response& response : responses) {
        if (response.request.token == token)
            return response.result;
    }
    return std::nullopt;
}

MemoryPeripheral::ReadResult MemoryPeripheral::read(const Uuid& central, const Uuid& characteristic,
                                                    std::size_t offset) {
    AttRequest request;
    request.token = nextToken_++;
    request.characteristic = characteristic;
    request.central = central;
    request.offset = offset;
    delegate_.peripheralManagerDidReceiveReadRequest(*this, request);
    for (const Response& response : responses) {
        if (response.request.token == request.token)
            return {response.result, response.request.value.value_or(Bytes{})};
    }
    return {};
}

std::optional<Bytes> MemoryPeripheral::readLong(const Uuid& central, const Uuid& characteristic,
                                                std::size_t chunk) {
    if (chunk == 0)
        throw std::invalid_argument("a long read needs a chunk of at least one byte");
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

void MemoryPeripheral::unsubscribe(const Uuid& central, const Uuid& characteristic) {
    delegate_.peripheralManagerCentralDidUnsubscribe(*this, central, characteristic);
}

std::vector<MemoryPeripheral::Notification>
MemoryPeripheral::notificationsTo(const Uuid& central) const {
    std::vector<Notification> found;
    std::copy_if(notifications.begin(), notifications.end(), std::back_inserter(found),
                 [&](const Notification& n) { return n.central == central; });
    return found;
}

} // namespace tovali::test
