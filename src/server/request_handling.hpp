#pragma once

#include <optional>
#include <span>
#include <unordered_map>

#include "common/bytes.hpp"
#include "common/input_event.hpp"
#include "common/uuid.hpp"
#include "link/crypto.hpp"
#include "link/session.hpp"
#include "link/wire_messages.hpp"
#include "platform/peripheral_manager.hpp"
#include "server/pairing_request.hpp"

namespace tovali {

using SessionMap = std::unordered_map<Uuid, Session>;

/// The server's state and operations that the request handling reads and changes. The server
/// keeps them; the handling only decides.
class RequestHost {
public:
    virtual SessionMap& sessions() = 0;
    virtual const std::optional<PairingRequest>& pendingPairing() const = 0;
    /// Publishes a new request and starts its time-out.
    virtual void startPairing(PairingRequest request) = 0;
    /// Ends the pending request unanswered; it counts as not approved.
    virtual void withdrawPairing() = 0;
    /// While true, no new pairing may begin.
    virtual bool pairingMustWait() const = 0;
    virtual bool isTrusted(ByteView watchKey) const = 0;
    virtual const crypto::PrivateKey& computerKey() const = 0;
    virtual void sendReply(const Reply& reply, const Uuid& central, bool signal) = 0;
    virtual void openSession(const Uuid& central, bool signal) = 0;
    virtual void refreshStatus() = 0;
    virtual void handleInput(const InputEvent& event) = 0;
    virtual void releaseHeldButtons() = 0;
    virtual void respondToRequest(const AttRequest& request, AttResult result) = 0;

protected:
    ~RequestHost() = default;
};

/// One batch of writes: input packets are opened and dispatched, request fragments joined and
/// handled, and the batch answered once if it held a request.
void receiveWriteRequests(RequestHost& host, std::span<const AttRequest> requests);

/// One complete request from one central.
void handleRequest(RequestHost& host, ByteView bytes, const Uuid& central);

} // namespace tovali
