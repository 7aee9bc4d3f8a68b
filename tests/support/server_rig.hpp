#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

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
    bool isProcessTrusted() override {
        ++checks;
        return trusted;
    }
    bool trusted = true;
    int checks = 0;
};

class FixedHostName : public HostName {
public:
    std::optional<std::string> localizedName() override { return name; }
    std::optional<std::string> name = "Study Mac";
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

    /// Creates the server; a test may script the doubles first.
    BluetoothServer& start() {
        server = std::make_unique<BluetoothServer>(BluetoothServer::Platform{
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
        });
        return *server;
    }

    /// Creates the server and brings it to advertising with the radio on.
    BluetoothServer& startAdvertising() {
        start();
        peripheral->powerOnAndAdvertise();
        return *server;
    }
};

} // namespace tovali::test
