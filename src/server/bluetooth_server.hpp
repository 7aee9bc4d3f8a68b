#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/published.hpp"
#include "common/uuid.hpp"
#include "input/input_engine.hpp"
#include "link/crypto.hpp"
#include "link/session.hpp"
#include "platform/accessibility.hpp"
#include "platform/defaults.hpp"
#include "platform/displays.hpp"
#include "platform/event_poster.hpp"
#include "platform/host_name.hpp"
#include "platform/keychain.hpp"
#include "platform/main_loop.hpp"
#include "platform/peripheral_manager.hpp"
#include "platform/system_log.hpp"
#include "server/pairing_backoff.hpp"
#include "server/pairing_request.hpp"
#include "server/request_handling.hpp"
#include "server/status.hpp"
#include "trust/trust_store.hpp"
#include "trust/trusted_watch.hpp"

namespace tovali {

/// The four characteristics of the published service, in the service's order.
struct Characteristics {
    CharacteristicDefinition request;
    CharacteristicDefinition reply;
    CharacteristicDefinition signal;
    CharacteristicDefinition input;
};

/// The service the server publishes, its characteristics in that order.
ServiceDefinition publishedService();

/// The one object through which the computer meets watches: the peripheral role and its service,
/// the sessions, the pairing that waits for the user, and the status the interface shows.
class BluetoothServer final : public PeripheralDelegate, private RequestHost {
public:
    using PeripheralFactory =
        std::function<std::unique_ptr<PeripheralManager>(PeripheralDelegate&)>;

    /// What the server reaches the system through. Everything here outlives the server.
    struct Platform {
        EventPoster& events;
        Displays& displays;
        MainLoop& loop;
        Keychain& keychain;
        SystemLog& log;
        Defaults& defaults;
        Accessibility& accessibility;
        HostName& hostName;
        PeripheralFactory makePeripheralManager;
    };

    static constexpr double pairingTimeoutSeconds = 90.0;
    /// How long a request must have been shown before an approval counts: time to read it, and
    /// no approval from a key that was on its way when the request appeared.
    static constexpr double pairingArmingSeconds = 1.0;
    /// How long a central may stay connected with neither a session nor a pending pairing.
    static constexpr double idleCentralSeconds = 30.0;
    static constexpr double accessibilityPollInterval = 2.0;
    /// How often a key in a locked keyring is asked for again, besides the keyring's signals.
    static constexpr double lockedKeyRetryInterval = 10.0;
    /// The longest advertising waits for the computer's name, after the server starts.
    static constexpr double hostNameWaitSeconds = 1.0;

    explicit BluetoothServer(Platform platform);
    BluetoothServer(const BluetoothServer&) = delete;
    BluetoothServer& operator=(const BluetoothServer&) = delete;
    ~BluetoothServer();

    const Published<Status>& status() const { return status_; }
    const Published<std::vector<TrustedWatch>>& pairedWatches() const { return pairedWatches_; }
    const Published<std::optional<PairingRequest>>& pairingRequest() const {
        return pairingRequest_;
    }
    const Published<bool>& accessibilityAllowed() const { return accessibilityAllowed_; }
    /// What the user should know about the stored list of paired watches, or none.
    const Published<std::optional<std::string>>& storageProblem() const { return storageProblem_; }

    /// The user's answer to `request`, which must still be the pending one; an approval also
    /// needs the request to have been pending for `pairingArmingSeconds`. The time-out answers
    /// false.
    void answerPairing(const PairingRequest& request, bool allow);
    /// Stops trusting the watch and ends its sessions.
    void forget(const TrustedWatch& watch);

    void refreshStatus() override;
    void refreshAccessibility();
    void sendReply(const Reply& reply, const Uuid& central, bool signal) override;
    void openSession(const Uuid& central, bool signal) override;

    // What the peripheral role reports.
    void peripheralManagerDidUpdateState(PeripheralManager& manager) override;
    void peripheralManagerDidAddService(PeripheralManager& manager, const Uuid& service,
                                        const std::optional<PeripheralError>& error) override;
    void peripheralManagerDidStartAdvertising(PeripheralManager& manager,
                                              const std::optional<PeripheralError>& error) override;
    void peripheralManagerDidReceiveWriteRequests(PeripheralManager& manager,
                                                  std::span<const AttRequest> requests) override;
    void peripheralManagerDidReceiveReadRequest(PeripheralManager& manager,
                                                const AttRequest& request) override;
    void peripheralManagerCentralDidUnsubscribe(PeripheralManager& manager, const Uuid& central,
                                                const Uuid& characteristic) override;
    void peripheralManagerIsReadyToUpdateSubscribers(PeripheralManager& manager) override;
    void peripheralManagerCentralDidConnect(PeripheralManager& manager,
                                            const Uuid& central) override;

    /// Ends the central's session, and its pairing if one waits.
    void dropCentral(const Uuid& central);
    void answerRead(const AttRequest& request);
    void resendSignals();

    // Read-only views for the interface and for tests.
    const Session* session(const Uuid& central) const;
    std::size_t sessionCount() const { return sessions_.size(); }
    const std::deque<Uuid>& signalsToResend() const { return signalsToResend_; }
    const std::optional<std::string>& serviceError() const { return serviceError_; }
    const std::optional<Characteristics>& characteristics() const { return characteristics_; }
    const InputEngine& input() const { return input_; }
    bool isPairingTimeoutRunning() const { return pairingTimeout_ != nullptr; }
    /// Whether a new pairing would be answered `busy` now.
    bool isPairingDelayed() const { return pairingMustWait(); }

private:
    // The request handling's view of the server.
    SessionMap& sessions() override { return sessions_; }
    const std::optional<PairingRequest>& pendingPairing() const override {
        return pairingRequest_.value();
    }
    void startPairing(PairingRequest request) override;
    void withdrawPairing() override;
    bool pairingMustWait() const override;
    void cancelPairingTimeout();
    bool isTrusted(ByteView watchKey) const override;
    // Requests reach the server only through the service, which waits for the key.
    const crypto::PrivateKey& computerKey() const override { return *computerKey_; }
    void handleInput(const InputEvent& event) override;
    void releaseHeldButtons() override { input_.releaseAll(); }
    void respondToRequest(const AttRequest& request, AttResult result) override;

    void waitForUnlockedKey();
    void retryLockedKey();
    void publishStorageProblem();
    void setUpService();
    void advertise();
    void hostNameChanged();
    std::string nameToAdvertise() const;
    void notifyReplyReady(const Uuid& central);
    PeripheralState managerState() const;
    void dismissIfIdle(Uuid central);

    MainLoop& loop_;
    Keychain& keychain_;
    SystemLog& log_;
    Accessibility& accessibility_;
    HostName& hostName_;

    Published<Status> status_;
    Published<std::vector<TrustedWatch>> pairedWatches_;
    Published<std::optional<PairingRequest>> pairingRequest_;
    Published<bool> accessibilityAllowed_;
    Published<std::optional<std::string>> storageProblem_;
    InputEngine input_;
    // None while the keyring that holds it is locked.
    std::optional<crypto::PrivateKey> computerKey_;
    TrustStore trust_;
    std::unique_ptr<PeripheralManager> manager_;
    std::optional<Characteristics> characteristics_;
    SessionMap sessions_;
    std::deque<Uuid> signalsToResend_;
    TimerHandle pairingTimeout_;
    /// Uptime at which the pending request was published.
    double pairingPublishedAt_ = 0.0;
    /// On the continuous clock, like the time-out: sleeping does not shorten a wait.
    PairingBackoff backoff_;
    std::unordered_map<Uuid, TimerHandle> idleChecks_;
    TimerHandle accessibilityTimer_;
    TimerHandle lockedKeyRetry_;
    Subscription keychainWatch_;
    TimerHandle hostNameWait_;
    Subscription hostNameWatch_;
    bool advertiseWhenNameKnown_ = false;
    // The name of the last advertising request, to tell a rename.
    std::optional<std::string> advertisedName_;
    std::optional<std::string> serviceError_;
};

} // namespace tovali
