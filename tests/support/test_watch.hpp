#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "common/bytes.hpp"
#include "common/input_event.hpp"
#include "common/uuid.hpp"
#include "link/crypto.hpp"
#include "link/wire_messages.hpp"
#include "support/memory_peripheral.hpp"

namespace tovali::test {

/// The reply these bytes encode, or none for anything encodeReply would not produce.
std::optional<Reply> decodeReply(ByteView bytes);

/// True when a reply was read and is of this kind.
template <typename T>
bool isReply(const std::optional<Reply>& reply) {
    return reply && std::holds_alternative<T>(*reply);
}

/// What one central can do on the air, as the watch uses it.
class WatchRadio {
public:
    virtual ~WatchRadio() = default;
    /// Answers a token for `responseTo`; a write without response is answered at once.
    virtual std::uint64_t write(const Uuid& characteristic, Bytes value) = 0;
    /// The answer to a write, or none while it has none.
    virtual std::optional<AttResult> responseTo(std::uint64_t token) const = 0;
    /// Reads the whole value at increasing offsets; none when any read fails.
    virtual std::optional<Bytes> readLong(const Uuid& characteristic) = 0;
};

/// A watch on one central. It speaks the link protocol with its own encoders and checks what it
/// reads the way the real watch does, so that a server which encodes, commits or keys wrongly
/// fails here.
class TestWatch {
public:
    /// On a new central of the in-memory peripheral.
    explicit TestWatch(MemoryPeripheral& peripheral, std::string name = "Test Watch",
                       std::optional<crypto::PrivateKey> key = std::nullopt);
    /// On a radio the caller keeps alive; `central()` is then unknown to the watch.
    explicit TestWatch(WatchRadio& radio, std::string name = "Test Watch",
                       std::optional<crypto::PrivateKey> key = std::nullopt);

    const Uuid& central() const { return central_; }
    const PublicKeyBytes& publicKey() const { return key_.publicKey(); }

    Bytes helloBytes() const;
    static Bytes nonceBytes(const Nonce& nonce);
    /// The packet with its truncated tag under `key`.
    static Bytes inputPacket(const InputEvent& event, std::uint32_t sequence,
                             const SymmetricKey& key);

    /// Each write answers its token, for MemoryPeripheral::responseTo.
    std::uint64_t sayHello();
    /// Draws a fresh nonce W and writes it.
    std::uint64_t sendNonce();
    /// Reads and decodes the reply, and takes it in; none when the read fails or the bytes do
    /// not decode.
    std::optional<Reply> readReply();

    /// Hello, commit, nonce, reveal: the code the watch would show, or none when a step goes
    /// otherwise.
    std::optional<std::string> startPairing();
    /// True when the reply now waiting is a sessionOpen that yields a session key.
    bool finishSession();
    /// Hello from an already trusted watch, then its sessionOpen.
    bool openTrustedSession();

    /// Each sends the next packet of the session and answers its bytes, for replays.
    Bytes move(std::int16_t dx, std::int16_t dy);
    Bytes button(MouseButton button, ButtonAction action);

    const std::optional<SymmetricKey>& sessionKey() const { return sessionKey_; }
    const std::optional<PublicKeyBytes>& computerKey() const { return computerKey_; }

    /// The sequence number the next packet carries; 1 in a fresh session.
    std::uint32_t nextSequence = 1;

private:
    bool accepted(std::uint64_t token) const;
    void takeIn(const Reply& reply);
    Bytes sendEvent(const InputEvent& event);

    Uuid central_;
    std::unique_ptr<WatchRadio> ownRadio_;
    WatchRadio& radio_;
    std::string name_;
    crypto::PrivateKey key_;
    std::optional<PublicKeyBytes> computerKey_;
    std::optional<Digest> commitment_;
    std::optional<Nonce> watchNonce_;
    std::optional<std::string> code_;
    std::optional<SymmetricKey> sessionKey_;
};

} // namespace tovali::test
