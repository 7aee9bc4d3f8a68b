#include "server/request_handling.hpp"

#include <algorithm>
#include <vector>

#include "link/key_schedule.hpp"

namespace tovali {

namespace {

inline constexpr const char* unnamedWatch = "Apple Watch";

Session* findSession(RequestHost& host, const Uuid& central) {
    auto& sessions = host.sessions();
    const auto found = sessions.find(central);
    return found == sessions.end() ? nullptr : &found->second;
}

void receiveInputPacket(RequestHost& host, ByteView bytes, const Uuid& central) {
    Session* session = findSession(host, central);
    if (session == nullptr || !session->opener) {
        return;
    }
    auto opened = openPacket(*session->opener, bytes);
    if (!opened) {
        return;
    }
    session->opener = opened->opener;
    host.handleInput(opened->event);
}

// A refusal that changes nothing else: the watch reads it if it has a session to read from.
void storeRejected(RequestHost& host, const Uuid& central) {
    if (Session* session = findSession(host, central)) {
        session->reply = encodeReply(RejectedReply{});
    }
}

void handleHello(RequestHost& host, const HelloRequest& hello, const Uuid& central) {
    if (!crypto::PublicKey::fromX963(hello.key)) {
        storeRejected(host, central);
        return;
    }
    if (const auto& pending = host.pendingPairing(); pending && pending->id == central) {
        host.withdrawPairing();
    }
    auto& sessions = host.sessions();
    const auto previous = sessions.find(central);
    const bool endsEstablished = previous != sessions.end() && previous->second.isEstablished();
    Session& session = sessions.insert_or_assign(central, Session{}).first->second;
    session.central = central;
    session.name = hello.name.empty() ? unnamedWatch : hello.name;
    session.watchKey = hello.key;
    // The session that pressed a button is gone: like every other end of a session, this one
    // must not leave the button held until the idle release.
    if (endsEstablished) {
        host.releaseHeldButtons();
    }

    if (host.isTrusted(hello.key)) {
        host.openSession(central, false);
    } else if (!host.pendingPairing() && !host.pairingMustWait()) {
        const Nonce computerNonce = makeNonce();
        session.computerNonce = computerNonce;
        const PublicKeyBytes& computerKey = host.computerKey().publicKey();
        host.sendReply(PairingCommitReply{computerKey,
                                          pairingCommitment(hello.key, computerKey, computerNonce)},
                       central, false);
    } else {
        host.sendReply(BusyReply{}, central, false);
    }
    host.refreshStatus();
}

void handleNonce(RequestHost& host, const NonceRequest& nonce, const Uuid& central) {
    Session* session = findSession(host, central);
    if (session == nullptr || !session->computerNonce || session->watchNonce ||
        host.pendingPairing()) {
        host.sendReply(RejectedReply{}, central, false);
        return;
    }
    if (host.pairingMustWait()) {
        // A watch that said hello before the wait began must say it again, and wait its turn.
        session->computerNonce.reset();
        host.sendReply(BusyReply{}, central, false);
        return;
    }
    session->watchNonce = nonce.nonce;
    const Nonce computerNonce = *session->computerNonce;
    host.sendReply(PairingRevealReply{computerNonce}, central, false);
    const std::string code = confirmationCode(session->watchKey, host.computerKey().publicKey(),
                                              nonce.nonce, computerNonce);
    // The reply is in place before the request is published, and the request before the status.
    host.startPairing(PairingRequest{central, session->name, code});
    host.refreshStatus();
}

} // namespace

void receiveWriteRequests(RequestHost& host, std::span<const AttRequest> requests) {
    std::vector<const AttRequest*> fragments;
    for (const AttRequest& request : requests) {
        if (request.characteristic == gatt::input && request.value) {
            receiveInputPacket(host, *request.value, request.central);
        } else if (request.characteristic == gatt::request) {
            fragments.push_back(&request);
        }
    }
    if (fragments.empty()) {
        return;
    }
    const AttRequest& first = *fragments.front();
    // Offsets only order the fragments; gaps and overlaps are the watch's business.
    std::ranges::stable_sort(fragments, {}, &AttRequest::offset);
    Bytes joined;
    for (const AttRequest* fragment : fragments) {
        if (fragment->value) {
            joined.insert(joined.end(), fragment->value->begin(), fragment->value->end());
        }
    }
    handleRequest(host, joined, first.central);
    host.respondToRequest(first, AttResult::success);
}

void handleRequest(RequestHost& host, ByteView bytes, const Uuid& central) {
    const auto request = parseRequest(bytes);
    if (!request) {
        storeRejected(host, central);
        return;
    }
    if (const auto* hello = std::get_if<HelloRequest>(&*request)) {
        handleHello(host, *hello, central);
    } else {
        handleNonce(host, std::get<NonceRequest>(*request), central);
    }
}

} // namespace tovali
