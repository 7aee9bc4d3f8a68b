#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "event_recorder.hpp"
#include "manual_main_loop.hpp"
#include "memory_defaults.hpp"
#include "memory_peripheral.hpp"
#include "platform/accessibility.hpp"
#include "platform/host_name.hpp"
#include "scripted_keychain.hpp"
#include "server/bluetooth_server.hpp"
#include "trust/trust_store.hpp"

namespace tovali::test {

class FlagAccessibility : public Accessibility {
public:
    bool isProcessTrusted() override { return trusted; }
    void promptForPermission() override { calls.push_back("prompt"); }
    PermissionRemedy remedy() override { return remedyNow; }

    bool trusted = true;
    PermissionRemedy remedyNow = PermissionRemedy::askDesktop;
    /// The prompts asked for, in order.
    std::vector<std::string> calls;
};

/// Known from the start unless told otherwise; `changed` tells the server of a new name.
class FixedHostName : public HostName {
public:
    std::optional<std::string> localizedName() override { return name; }
    bool isKnown() override { return known; }
    Subscription whenChanged(std::function<void()> callback) override {
        changed = std::move(callback);
        return {};
    }
    std::optional<std::string> name = "Study Mac";
    bool known = true;
    std::function<void()> changed;
};

/// A server on test doubles, with every double in reach. Nothing is shared between rigs.
struct ServerRig {
    ManualMainLoop loop;
    EventRecorder events;
    ScriptedKeychain keychain;
    MemoryDefaults defaults;
    CapturedLog log;
    FlagAccessibility accessibility;
    FixedHostName hostName;
    MemoryPeripheral* peripheral = nullptr; // owned by the server
    /// Makes the server's peripheral instead of the in-memory one, which `peripheral` then
    /// stays without.
    std::function<std::unique_ptr<PeripheralManager>(PeripheralDelegate&)> makeManager;
    std::unique_ptr<BluetoothServer> server;

    /// Trusts the watch with this key from the next start, as an earlier pairing would have.
    void trust(const crypto::PrivateKey& watchKey, const std::string& name) {
        TrustStore(defaults, log, loop).add(watchKey.publicKey(), name);
    }

    /// What a server of this rig is made with.
    BluetoothServer::Platform platform() {
        return {
            .events = events,
            .displays = events,
            .loop = loop,
            .keychain = keychain,
            .log = log,
            .defaults = defaults,
            .accessibility = accessibility,
            .hostName = hostName,
            .makePeripheralManager =
                [this](PeripheralDelegate& delegate) -> std::unique_ptr<PeripheralManager> {
                if (makeManager)
                    return makeManager(delegate);
                auto made = std::make_unique<MemoryPeripheral>(delegate);
                peripheral = made.get();
                return made;
            },
        };
    }

    /// Creates the server; a test may script the doubles first.
    BluetoothServer& start() {
        server = std::make_unique<BluetoothServer>(platform());
        return *server;
    }

    /// The user answers the pending request, if any; an approval only once the request has been
    /// shown long enough to count.
    void answerPairing(bool allow) {
        const auto request = server->pairingRequest().value();
        if (!request)
            return;
        if (allow)
            loop.advance(BluetoothServer::pairingArmingSeconds);
        server->answerPairing(*request, allow);
    }

    /// Creates the server and brings it to advertising with the radio on.
    BluetoothServer& startAdvertising() {
        start();
        peripheral->powerOnAndAdvertise();
        return *server;
    }
};

} // namespace tovali::test
