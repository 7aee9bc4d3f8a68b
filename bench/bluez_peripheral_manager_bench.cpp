// What the BlueZ adapter adds to an input packet: bluetoothd's WriteValue on the input
// characteristic, answered once the packet has reached the input engine, against a method that
// does nothing, in the same run on the same private bus.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/bluez/bluez_peripheral_manager.hpp"
#include "support/bluez_stand_in.hpp"
#include "support/server_rig.hpp"
#include "support/session_bus.hpp"
#include "support/test_watch.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

const QString inputPath = QStringLiteral("/tovali/gatt/service0/char3");

// A server on the adapter with one trusted watch in session, on a bus of its own.
struct BusRig {
    SessionBus bus;
    std::unique_ptr<BluezStandIn> bluez;
    ServerRig server;
    std::optional<StandInRadio> radio;
    std::optional<TestWatch> watch;
    QString device;
    QString connectionName;
    QString app;
    bool ready = false;

    BusRig() {
        static int rigs = 0;
        connectionName = QStringLiteral("bench-app-%1").arg(++rigs);
        const auto address = QString::fromStdString(bus.address());
        bluez = std::make_unique<BluezStandIn>(address);
        server.makeManager = [this, address](PeripheralDelegate& delegate) {
            return std::make_unique<BluezPeripheralManager>(
                delegate, QDBusConnection::connectToBus(address, connectionName));
        };
        const auto key = crypto::PrivateKey::generate();
        server.trust(key, "Bench");
        server.start();
        if (!bluez->waitForRegistrations())
            return;
        app = QDBusConnection(connectionName).baseService();
        device = bluez->connectDevice(QStringLiteral("AA:BB:CC:DD:EE:FF"));
        radio.emplace(*bluez, device);
        watch.emplace(*radio, "Bench", key);
        ready = watch->openTrustedSession();
    }
    ~BusRig() {
        server.server.reset();
        QDBusConnection::disconnectFromBus(connectionName);
    }
};

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

// One call from bluetoothd's connection, waited for on the event loop the adapter runs on.
void roundTrip(QDBusConnection& bus, const QDBusMessage& call) {
    QDBusPendingCallWatcher watcher(bus.asyncCall(call));
    QEventLoop loop;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    if (!watcher.isFinished())
        loop.exec();
}

double median(std::vector<double> samples) {
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

// The two calls alternate, so that both see the same load on the machine; the counters give the
// median of each in microseconds, and of their difference call by call.
void BM_InputWriteValueAgainstNoOp(benchmark::State& state) {
    BusRig rig;
    if (!rig.ready) {
        state.SkipWithError("the watch did not open a session");
        return;
    }
    QDBusConnection bluetoothd = rig.bluez->connection();
    auto noOp = QDBusMessage::createMethodCall(rig.app, inputPath,
                                               QStringLiteral("org.freedesktop.DBus.Properties"),
                                               QStringLiteral("Get"));
    noOp << QStringLiteral("org.bluez.GattCharacteristic1") << QStringLiteral("UUID");
    const QVariantMap options{
        {QStringLiteral("device"), QVariant::fromValue(QDBusObjectPath(rig.device))},
        {QStringLiteral("link"), QStringLiteral("LE")},
        {QStringLiteral("mtu"), QVariant::fromValue(ushort(185))}};
    const std::size_t postedBefore = rig.server.events.posted.size();
    std::vector<double> noOps;
    std::vector<double> writes;
    std::vector<double> added;
    for (auto _ : state) {
        // Alternating directions keep the engine's pending motion small, as a real hand does;
        // the drift left over shows at the end that the packets arrived.
        const auto d = static_cast<std::int16_t>(writes.size() % 2 == 0 ? 3 : -2);
        const Bytes packet = TestWatch::inputPacket(MoveInput{d, d}, rig.watch->nextSequence++,
                                                    *rig.watch->sessionKey());
        auto write = QDBusMessage::createMethodCall(rig.app, inputPath,
                                                    QStringLiteral("org.bluez.GattCharacteristic1"),
                                                    QStringLiteral("WriteValue"));
        write << toQByteArray(packet) << options;

        const auto start = Clock::now();
        roundTrip(bluetoothd, noOp);
        const auto between = Clock::now();
        // Answered after the packet has been opened and handed to the engine.
        roundTrip(bluetoothd, write);
        const auto end = Clock::now();
        noOps.push_back(microseconds(between - start));
        writes.push_back(microseconds(end - between));
        added.push_back(writes.back() - noOps.back());
    }
    rig.server.loop.runFrames(1);
    if (rig.server.events.posted.size() == postedBefore) {
        state.SkipWithError("no packet reached the engine");
        return;
    }
    state.counters["noop_us"] = median(noOps);
    state.counters["write_us"] = median(writes);
    state.counters["added_us"] = median(added);
}
BENCHMARK(BM_InputWriteValueAgainstNoOp)->Unit(benchmark::kMicrosecond);

} // namespace
